# shellcheck shell=bash
# Sourced by the scripts that run systemd-nspawn (tests/system/boot.sh and shutdown.sh,
# scripts/fresh-machine.sh): nspawn needs a cgroup of its own to place a container in.
#   enterOwnCgroup NAME   moves this shell into a fresh cgroup NAME.PID in each hierarchy
#                         systemd uses (the unified one, and the named v1 one of a hybrid host)
#   leaveOwnCgroup        kills whatever is left in them (a container's processes included),
#                         moves this shell back and removes them
#   stepOutOfOwnCgroup    moves this shell back, leaving them to what it started there
#   removeCgroups         kills whatever is in the cgroups of own_cgroups (those another shell
#                         entered) and removes them, this shell staying where it is
own_cgroups=()
enterOwnCgroup() {
  local hierarchy
  for hierarchy in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup; do
    [ -f "$hierarchy/cgroup.procs" ] || continue
    [ "$hierarchy" = /sys/fs/cgroup ] && [ ${#own_cgroups[@]} -gt 0 ] && continue
    mkdir "$hierarchy/$1.$$"
    own_cgroups+=("$hierarchy/$1.$$")
    echo $$ > "$hierarchy/$1.$$/cgroup.procs"
  done
}
leaveOwnCgroup() {
  stepOutOfOwnCgroup
  removeCgroups
}
stepOutOfOwnCgroup() {
  local cg
  for cg in "${own_cgroups[@]}"; do echo $$ > "$(dirname "$cg")/cgroup.procs"; done
}
removeCgroups() {
  local cg p
  for cg in "${own_cgroups[@]}"; do
    while read -r p; do
      [ "$p" = $$ ] || kill -KILL "$p" 2>/dev/null || true
    done < <(find "$cg" -name cgroup.procs -exec cat {} + 2>/dev/null)
  done
  for cg in "${own_cgroups[@]}"; do
    for _ in $(seq 50); do find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null; [ -d "$cg" ] || break; sleep 0.1; done
  done
  own_cgroups=()
}
