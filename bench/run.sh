#!/usr/bin/env bash
# Measures worlds against nginx in one run, alternating worlds, nginx, worlds, nginx, worlds,
# nginx, and prints medians as a Markdown table: requests per second with one connection per
# request (ApacheBench, concurrency 1 and 50), sequential latency p50/p99/max, system calls per
# request by kind, and peak RSS. Not part of the test suite.
# Usage: bench/run.sh [requests per ab run, default 20000]
set -euo pipefail
cd "$(dirname "$0")/.."
requests=${1:-20000}
rounds=3
worlds_port=9091
nginx_port=9092

scripts/install-deps.sh --bench
# Debian starts the packaged nginx as a service; it listens on port 80, not on ours.

cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
mkdir -p build/bench /tmp/worlds-bench-nginx
g++ -O2 -std=c++23 -o build/bench/latency bench/latency.cpp
server=build/release/worlds-server

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

waitPort() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.05; done; return 1; }

"$server" 2>/dev/null &
pids+=($!); worlds_pid=$!
nginx -c "$PWD/bench/nginx.conf" -e /tmp/worlds-bench-nginx/error.log &
pids+=($!); nginx_pid=$!
waitPort $worlds_port; waitPort $nginx_port
nginx_worker=$(pgrep -P "$nginx_pid" | head -n1)

abRate() {  # port concurrency -> requests per second
  ab -q -n "$requests" -c "$2" "http://127.0.0.1:$1/api/v1/worlds" 2>&1 | awk '/Requests per second/ {print $4}'
}
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

declare -A results
for round in $(seq $rounds); do
  for name in worlds nginx; do
    port=$worlds_port; [ $name = nginx ] && port=$nginx_port
    results[$name,rps1]+="$(abRate $port 1) "
    results[$name,rps50]+="$(abRate $port 50) "
    read -r p50 p99 max _ <<<"$(build/bench/latency $port 2000 | tr '=' ' ' | awk '{print $2, $4, $6}')"
    results[$name,p50]+="$p50 "; results[$name,p99]+="$p99 "; results[$name,max]+="$max "
  done
done
worlds_rss=$(awk '/VmHWM/ {print $2}' /proc/$worlds_pid/status)
nginx_rss=$(awk '/VmHWM/ {print $2}' /proc/$nginx_worker/status)
cleanup; pids=(); sleep 0.3

# System calls per request: 2,000 sequential requests under strace, minus an idle run (start-up
# and shut-down only), divided by 2,000.
straceCounts() {  # label requests -> "syscall count" lines
  local out=build/bench/strace.$1.$2
  if [ "$1" = worlds ]; then
    strace -f -c -o "$out" "$server" 2>/dev/null & local tracer=$!
    waitPort $worlds_port
    [ "$2" -gt 0 ] && build/bench/latency $worlds_port "$2" >/dev/null
    pkill -TERM -f "^$server$" || true
  else
    strace -f -c -o "$out" nginx -c "$PWD/bench/nginx.conf" -e /tmp/worlds-bench-nginx/error.log & local tracer=$!
    waitPort $nginx_port
    [ "$2" -gt 0 ] && build/bench/latency $nginx_port "$2" >/dev/null
    kill -QUIT "$(cat /tmp/worlds-bench-nginx/nginx.pid)"
  fi
  wait $tracer || true
  # Columns: % time, seconds, usecs/call, calls, [errors,] syscall.
  awk 'NR>2 && $NF != "total" && $1 !~ /^-/ {print $NF, $4}' "$out"
}
perRequest() {  # label -> "syscall:per-request" list
  local loaded idle
  loaded=$(straceCounts "$1" 2000); idle=$(straceCounts "$1" 0)
  awk -v n=2001 'NR==FNR {idle[$1]=$2; next} {d=($2-idle[$1])/n; if (d >= 0.01) printf "%s %.2f\n", $1, d}' \
    <(echo "$idle") <(echo "$loaded") | sort -k2 -nr | awk '{printf "%s%s %s", sep, $1, $2; sep=", "} END {print ""}'
}
worlds_calls=$(perRequest worlds)
nginx_calls=$(perRequest nginx)

m() { echo "${results[$1,$2]}" | tr ' ' '\n' | grep -v '^$' | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
cat <<TABLE
| measure (median of $rounds alternating rounds) | worlds | nginx | worlds / nginx |
|---|---:|---:|---:|
| requests/s, concurrency 1 (ab -n $requests) | $(m worlds rps1) | $(m nginx rps1) | $(ratio "$(m worlds rps1)" "$(m nginx rps1)") |
| requests/s, concurrency 50 (ab -n $requests) | $(m worlds rps50) | $(m nginx rps50) | $(ratio "$(m worlds rps50)" "$(m nginx rps50)") |
| latency p50, µs (2,000 sequential) | $(m worlds p50) | $(m nginx p50) | |
| latency p99, µs | $(m worlds p99) | $(m nginx p99) | |
| slowest of 2,000, µs | $(m worlds max) | $(m nginx max) | |
| peak RSS, kB (VmHWM; nginx: its worker) | $worlds_rss | $nginx_rss | |

System calls per request (strace -c -f, 2,000 sequential requests minus an idle run, divided by 2,001):

- worlds: $worlds_calls
- nginx: $nginx_calls
TABLE
