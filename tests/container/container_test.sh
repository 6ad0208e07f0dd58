#!/usr/bin/env bash
# Builds the container images (scripts/images.sh) and plays the pod that
# `kubectl kustomize deploy/podman` makes of the cluster's Deployment with podman, as root, on
# this machine: the server, its front and the metrics sidecar in one
# network namespace, the front published on 127.0.0.1:8091 and the sidecar on 127.0.0.1:9193.
# Then it checks the server container's confinement, the sidecar's count of a known load,
# clients through the front under a hostile mix, a connection flood and a crowd, a stop of the
# server under load, a SIGKILL and the pod's restart, and that the server image builds to one
# ID from two clones in two folders; and always removes the pod.
# Exit 77 (skipped) when not root or a tool is missing, unless WORLDS_REQUIRE_CLIENT_TOOLS=1.
set -euo pipefail
source_dir=${WORLDS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$source_dir"

source tests/lib/suite.sh

[ "$(id -u)" = 0 ] || skip "needs root (podman's pod network, nsenter)"
for tool in podman runc mmdebstrap kubectl nsenter python3 git; do
  command -v "$tool" >/dev/null || skip "missing $tool (scripts/install-deps.sh --containers)"
done

work=build/container
mkdir -p "$work"
# This machine's kernel refuses podman's default rlimits (raising them needs CAP_SYS_RESOURCE,
# which the sandbox lacks) and crun's handling of its hybrid cgroup layout: the suite's podman
# sets no rlimits and runs runc. Users' podman keeps its own configuration.
export CONTAINERS_CONF=$PWD/$work/containers.conf
printf '[containers]\ndefault_ulimits = []\n\n[engine]\nruntime = "runc"\n' > "$CONTAINERS_CONF"
# The flood holds thousands of connections: this process needs the descriptors.
ulimit -n "$(ulimit -Hn)"

version=$(sed -n 's/^project(worlds VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
# What podman plays: the cluster's Deployment, made a pod for one machine by kustomize. podman
# names the pod after the Deployment (worlds-pod-0 on podman 4.3), and each container after the
# pod.
pod_yaml=$work/pod.yaml
kubectl kustomize deploy/podman > "$pod_yaml" || fail "kubectl kustomize deploy/podman"
pod=

cleanup() { podman kube down "$pod_yaml" > /dev/null 2>&1 || true; rm -rf "$work/clone-a" "$work/clone-b"; }
trap cleanup EXIT

step "the server image, built from two clones of this commit in two folders, has one ID"
ids=()
for clone in clone-a clone-b; do
  rm -rf "${work:?}/$clone"
  git clone -q "$source_dir" "$work/$clone"
  podman rmi -f "localhost/worlds-server:$version" > /dev/null 2>&1 || true
  (cd "$work/$clone" && scripts/images.sh server) > "$work/$clone.log" 2>&1 || { tail -n 30 "$work/$clone.log"; fail "images.sh in $clone"; }
  ids+=("$(podman image inspect --format '{{.Id}}' "localhost/worlds-server:$version")")
  echo "$clone: $(tail -n 1 "$work/$clone.log")"
done
[ "${ids[0]}" = "${ids[1]}" ] || fail "two builds of one commit gave two image IDs: ${ids[*]}"

step "the images of this tree"
scripts/images.sh | tee "$work/images.log"
server_size=$(podman image inspect --format '{{.Size}}' "localhost/worlds-server:$version")
front_size=$(podman image inspect --format '{{.Size}}' "localhost/worlds-server-front:$version")
metrics_size=$(podman image inspect --format '{{.Size}}' "localhost/worlds-server-metrics:$version")
[ "$server_size" -le $((2 * 1024 * 1024)) ] || fail "the server image is $server_size bytes, over 2 MiB"
[ "$front_size" -le $((80 * 1000 * 1000)) ] || fail "the front image is $front_size bytes, over 80 MB"
[ "$metrics_size" -le $((100 * 1000 * 1000)) ] || fail "the metrics image is $metrics_size bytes, over 100 MB"
for image in worlds-server worlds-server-front worlds-server-metrics; do
  archive=build/images/$image-$version.oci.tar
  tar -tf "$archive" index.json > /dev/null 2>&1 || fail "$archive is not an OCI archive"
done

step "kubectl kustomize deploy/podman | podman kube play -"
podman kube down "$pod_yaml" > /dev/null 2>&1 || true
podman kube play - < "$pod_yaml" > "$work/play.log" 2>&1 || { cat "$work/play.log"; fail "podman kube play"; }
pod=$(podman pod ps --format '{{.Name}}' --filter name='^worlds-pod')
[ -n "$pod" ] && [ "$(wc -l <<<"$pod")" = 1 ] || fail "podman played not one pod named worlds-pod*: '$pod'"
echo "the pod $pod: $(podman ps --filter pod="$pod" --format '{{.Names}}' | grep -v -- -infra$ | tr '\n' ' ')"
front_answers() { python3 tests/lib/clients.py load 0.1 front > /dev/null 2>&1; }
for _ in $(seq 100); do front_answers && break; sleep 0.1; done
front_answers || fail "the front on 127.0.0.1:8091 does not answer"
restarts() { podman inspect --format '{{.RestartCount}}' "$pod-server"; }

step "the server container: uid 65534, read-only root, no capabilities, no new privileges"
pid=$(podman inspect --format '{{.State.Pid}}' "$pod-server")
status=$(cat "/proc/$pid/status")
grep -q $'^Uid:\t65534\t65534\t65534\t65534$' <<<"$status" || fail "the server does not run as 65534: $(grep Uid <<<"$status")"
grep -q $'^CapEff:\t0000000000000000$' <<<"$status" || fail "the server has capabilities: $(grep CapEff <<<"$status")"
grep -q $'^NoNewPrivs:\t1$' <<<"$status" || fail "the server may gain privileges"
grep -q $'^NSpid:\t[0-9]*\t1$' <<<"$status" || fail "the server is not process 1 of its container"
awk '$5 == "/" {print $6}' "/proc/$pid/mountinfo" | grep -q '^ro,' || fail "the server's root is writable"
echo "uid 65534, CapEff 0, NoNewPrivs 1, root read-only, process 1 of its PID namespace"

step "the metrics sidecar on 127.0.0.1:9193: as nobody with no capabilities, counting a known load exactly"
pid=$(podman inspect --format '{{.State.Pid}}' "$pod-metrics")
grep -q $'^Uid:\t65534\t65534\t65534\t65534$' "/proc/$pid/status" && grep -q $'^CapEff:\t0000000000000000$' "/proc/$pid/status" ||
  fail "the sidecar does not run as 65534 without capabilities"
series() {  # the sidecar's count of 200s and of 404s through the front
  curl -s http://127.0.0.1:9193/metrics | awk '/^worlds_front_requests_total\{code="200",method="GET"\}/ {ok = $2}
    /^worlds_front_requests_total\{code="404",method="GET"\}/ {missing = $2} END {printf "%d %d", ok, missing}'
}
for _ in $(seq 50); do curl -s -o /dev/null http://127.0.0.1:9193/metrics && break; sleep 0.1; done
read -r ok_before missing_before <<<"$(series)"
for _ in $(seq 100); do curl -s -o /dev/null http://127.0.0.1:8091/api/v1/worlds; done
for _ in $(seq 10); do curl -s -o /dev/null http://127.0.0.1:8091/x; done
for _ in $(seq 50); do [ "$(series)" = "$((ok_before + 100)) $((missing_before + 10))" ] && break; sleep 0.1; done
read -r ok missing <<<"$(series)"
echo "after 100 GETs and 10 of another path: 200s $ok_before -> $ok, 404s $missing_before -> $missing"
[ "$ok $missing" = "$((ok_before + 100)) $((missing_before + 10))" ] || fail "the sidecar did not count the load exactly"

step "10 s through 127.0.0.1:8091: 8 clients, a reset mid-head every 100 ms, 10 silent clients"
python3 tests/lib/clients.py load 10 hostile front --reset-every 0.1 || fail "requests were lost through the front"
[ "$(restarts)" = 0 ] || fail "the server restarted $(restarts) times behind the front"
echo "server restarts: 0"

step "10 s of 8 clients from 127.0.0.3 while 127.0.0.2 holds 8,000 connections to the front"
# Inside the pod's network namespace, where the front sees each client's own address (through
# the published port every client comes from the pod network's gateway).
infra=$(podman pod inspect --format '{{.InfraContainerID}}' "$pod")
pod_pid=$(podman inspect --format '{{.State.Pid}}' "$infra")
memory=/sys/fs/cgroup/memory$(podman inspect --format '{{.State.CgroupPath}}' "$pod-front")/memory.usage_in_bytes
[ -f "$memory" ] || memory=/sys/fs/cgroup$(podman inspect --format '{{.State.CgroupPath}}' "$pod-front")/memory.current
nsenter -t "$pod_pid" -n python3 tests/lib/clients.py load 10 front --from 127.0.0.3 --flood 8000 --memory-of "$memory" ||
  fail "legitimate requests were lost under the flood"

step "10 s of 8 clients through 127.0.0.1:8091 while a crowd keeps 300 requests in flight"
# Through the published port every client comes from the pod network's gateway, so the image
# keys no share on the address: the bound on the server's queue holds alone, and past it the
# crowd and the 8 clients get a fast 503, never a 504 or a reset.
# Meanwhile a readiness probe a second, as kubelet makes them (2 s to answer): the crowd's 503s
# never reach it.
probes() {  # N: the status of N probes of the front's readiness port, a second apart
  for _ in $(seq "$1"); do
    nsenter -t "$pod_pid" -n curl -s -o /dev/null -m 2 -w '%{http_code} ' http://127.0.0.1:8093/ready || true
    sleep 1
  done
}
probes 8 > "$work/probes" &
prober=$!
python3 tests/lib/clients.py load 10 front --request-flood 300 --flood-from 127.0.0.1 --tolerate 503 ||
  fail "a request was lost, or not refused fast, under the crowd"
wait "$prober"
[ "$(restarts)" = 0 ] || fail "the server restarted $(restarts) times under the crowd"
echo "readiness probes under the crowd: $(cat "$work/probes")"
[ "$(cat "$work/probes")" = "200 200 200 200 200 200 200 200 " ] || fail "a readiness probe failed under the crowd"

step "podman stop of the server under load: exit 0 within 2 s, no answer cut short"
rm -f "$work/stop-load.started"
python3 tests/lib/clients.py load 6 front --tolerate 502 --started "$work/stop-load.started" > "$work/stop-load.log" 2>&1 &
load=$!
awaitStarted "$work/stop-load.started" "$work/stop-load.log"
started=$(date +%s%N)
podman stop --time 10 "$pod-server" > /dev/null
took=$((($(date +%s%N) - started) / 1000000))
code=$(podman inspect --format '{{.State.ExitCode}}' "$pod-server")
wait "$load" || { cat "$work/stop-load.log"; fail "an answer was cut short or lost during the stop"; }
cat "$work/stop-load.log"
[ "$code" = 0 ] || fail "the server's exit status was $code"
[ "$took" -lt 2000 ] || fail "the stop took $took ms"
echo "stopped in $took ms, exit status $code (the front answers 502 while no server runs)"
gone=$(probes 2)
echo "readiness probes with the server stopped: $gone"
case $gone in *200*) fail "a readiness probe passed with no server: $gone" ;; esac
podman start "$pod-server" > /dev/null
for _ in $(seq 100); do front_answers && break; sleep 0.05; done

step "SIGKILL of the server: the pod restarts it and the front answers again"
before=$(restarts)
started=$(date +%s%N)
# From outside, as the kernel's OOM killer or a crash would: podman kill counts as a stop asked
# for, which no restart policy undoes.
kill -KILL "$(podman inspect --format '{{.State.Pid}}' "$pod-server")"
for _ in $(seq 200); do front_answers && break; sleep 0.05; done
front_answers || fail "no answer through the front 10 s after the SIGKILL"
took=$((($(date +%s%N) - started) / 1000000))
[ "$(restarts)" -gt "$before" ] || fail "the pod did not restart the server"
echo "restarted by the pod (restart count $(restarts)); answering through the front again after $took ms"
