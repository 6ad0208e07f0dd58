#!/usr/bin/env bash
# system.Server, in the root that system.Boot booted: version 0.1.0 installed with dpkg and
# upgraded to the package built here, so the packages' own scripts do the work; then the socket
# and the workers, their answer, their hardening and network, their restarts after fatal exits,
# clients under a hostile mix, during a restart of the workers and during an upgrade in place.
set -euo pipefail
# shellcheck source=tests/lib/system.sh
source "$(dirname "$0")/../lib/system.sh"
restarts=20
new=/root/$(basename "$deb")

if [ -n "$old_deb" ]; then
  step "dpkg -i of 0.1.0 inside: its single service answers"
  dpkg_inside "dpkg -i 0.1.0" -i "/root/$(basename "$old_deb")"
  inside systemctl is-active --quiet worlds-server.service || fail "0.1.0's service is not active"
  answers_exactly
fi

step "dpkg -i of the new package${old_deb:+ over it}: the socket and two workers take over"
dpkg_inside "dpkg -i (upgrade from 0.1.0)" -i "$new"
old_state=$(inside systemctl is-enabled worlds-server.service 2>&1 || true)
case $old_state in enabled*) fail "0.1.0's service is still enabled: $old_state" ;; esac
! inside systemctl is-active --quiet worlds-server.service || fail "0.1.0's service still runs"
for unit in worlds-server.socket "${workers[@]}"; do
  [ "$(inside systemctl is-enabled "$unit")" = enabled ] || fail "$unit is not enabled"
  inside systemctl is-active --quiet "$unit" || fail "$unit is not active"
done
answers_exactly
echo "worlds-server.service: $old_state; the socket and ${workers[*]} enabled and active"

step "each worker: a dynamic non-root user, no new privileges, a seccomp filter, only lo and no route"
for w in "${workers[@]}"; do
  main=$(inside systemctl show -p MainPID --value "$w")
  status=$(inside cat "/proc/$main/status")
  uid=$(awk '/^Uid:/ {print $2}' <<<"$status")
  # systemd's dynamic users come from 61184-65519.
  [ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] || fail "$w runs as uid $uid, not a dynamic user"
  grep -qx $'NoNewPrivs:\t1' <<<"$status" || fail "$w: NoNewPrivs is not 1"
  grep -qx $'Seccomp:\t2' <<<"$status" || fail "$w: no seccomp filter (Seccomp is not 2)"
  links=$(inside awk -F: 'NR > 2 {gsub(/ /, "", $1); print $1}' "/proc/$main/net/dev" | tr '\n' ' ')
  [ "$links" = "lo " ] || fail "$w sees network interfaces '$links', not only lo"
  [ "$(inside awk 'NR > 1' "/proc/$main/net/route" | wc -l)" = 0 ] || fail "$w has an IPv4 route"
  [ -z "$(inside awk '$10 != "lo"' "/proc/$main/net/ipv6_route")" ] || fail "$w has an IPv6 route off lo"
  echo "$w: uid $uid, NoNewPrivs 1, Seccomp 2, interfaces: $links, no route"
done

step "$restarts clients reset their connections mid-head: each ends one worker, the other answers"
clients restarts $restarts
# At least one restart per reset: on a busy machine a probe that gives up may cost one more.
[ "$(sum_nrestarts)" -ge $restarts ] || fail "NRestarts add up to $(sum_nrestarts), fewer than $restarts"
journal=$(inside journalctl -u 'worlds-server@*' -o cat --no-pager)
resets=$(grep -c '^error: ConnectionResetByPeer$' <<<"$journal" || true)
[ "$resets" -ge $restarts ] || fail "the journal holds $resets lines 'error: ConnectionResetByPeer', fewer than $restarts"
last_exit=$(awk '/^error: / {block = ""} {block = block $0 "\n"} END {printf "%s", block}' <<<"$journal")
grep -Eq '^\./src/server/server\.cpp:[0-9]+:[0-9]+: in .*acceptLoop' <<<"$last_exit" &&
  grep -Eq '^\./src/main\.cpp:[0-9]+:[0-9]+: in int main\(\)$' <<<"$last_exit" ||
  fail "the last exit's trace is not in the journal: $last_exit"
echo "NRestarts: $(nrestarts); the journal of the last exit:"
inside journalctl -u 'worlds-server@*' -o short --no-pager | awk '/error: ConnectionResetByPeer/ {n++} n == '"$resets"

step "10 s of 8 clients under a hostile mix (a reset mid-head every 300 ms, one silent client)"
clients load 10 hostile || fail "requests were lost under the hostile mix"
echo "NRestarts: $(nrestarts)"

step "8 clients while both workers are restarted"
load_under_way 6
inside systemctl restart "${workers[@]}"
still_loading "the restart"
wait "$load" || { cat build/system/load.log; fail "requests were lost during the restart"; }
cat build/system/load.log

step "8 clients while the package is upgraded in place (dpkg -i again)"
socket_since=$(inside systemctl show -p ActiveEnterTimestampMonotonic --value worlds-server.socket)
mains_before=$(for w in "${workers[@]}"; do inside systemctl show -p MainPID --value "$w"; done)
load_under_way 10
dpkg_inside "dpkg -i (in place)" -i "$new"
still_loading "the upgrade"
wait "$load" || { cat build/system/load.log; fail "requests were lost during the upgrade"; }
cat build/system/load.log
[ "$(inside systemctl show -p ActiveEnterTimestampMonotonic --value worlds-server.socket)" = "$socket_since" ] ||
  fail "the upgrade restarted the socket"
mains_after=$(for w in "${workers[@]}"; do inside systemctl show -p MainPID --value "$w"; done)
[ -z "$(comm -12 <(sort <<<"$mains_before") <(sort <<<"$mains_after"))" ] || fail "a worker was not restarted"
echo "the socket kept running; the workers were restarted ($(tr '\n' ' ' <<<"$mains_before")-> $(tr '\n' ' ' <<<"$mains_after"))"

step "systemctl stop of the workers ends them with no error line"
cursor=$(inside journalctl -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p')
inside systemctl stop "${workers[@]}"
for w in "${workers[@]}"; do
  [ "$(inside systemctl is-active "$w" || true)" = inactive ] || fail "$w is not inactive after stop"
  [ "$(inside systemctl show -p Result --value "$w")" = success ] || fail "$w: stop did not end in success"
done
after=$(inside journalctl -u 'worlds-server@*' -o cat --no-pager --after-cursor="$cursor")
! grep -q '^error' <<<"$after" || fail "an error line after stop: $after"
echo "stopped; the workers' journal after stop:"
echo "$after"
inside systemctl start "${workers[@]}"
answers_exactly
echo PASS
