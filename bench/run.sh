#!/usr/bin/env bash
# Measures worlds against nginx in one run and prints medians as Markdown tables. Three builds
# of worlds take part: the server as built (TCP_CORK on its listener), and the same binary with
# TCP_NODELAY or with no option instead (bench/tcp_option.cpp, preloaded); and the server as
# built twice more: two copies sharing one listener by socket activation (bench/workers.py, as
# the socket unit and two workers run it), and nginx with one worker and with two; and the
# package's nginx front (its snippet and upstreams, two nginx workers) before two copies, with
# ApacheBench (no keep-alive) and with wrk (keep-alive: ab speaks HTTP/1.0 and so cannot keep a
# connection whose answer has no length). The front is laid out from the files the package
# installs (debian/worlds-server-nginx.install), its site on 8091 among them, with the
# benchmark's own client key (bench/front-client.conf: each connection a client, so one
# address's 50 connections are 50 clients within their shares). Each round runs
# every server in turn, alone: requests per second with one connection per request
# (ApacheBench, concurrency 1 and 50), sequential latency p50/p99/max with TCP segments per
# request (the kernel's OutSegs, both ends, before and after), and peak RSS. Then system calls
# per request by kind (strace attached for 2,000 sequential requests). The whole run happens
# in a network namespace of its own, so its loopback carries this traffic only. Last, it draws
# the requests per second of every setup at both concurrencies with gnuplot, from this run's own
# figures, into bench/requests-per-second.svg.
# Not part of the test suite; CI runs it short (bench/run.sh 300) so that it cannot break unseen.
# Usage: bench/run.sh [requests per ab run, default 20000]. Under 2,000 requests the sequential
# runs make that many too, wrk runs 1 s instead of 5, and the chart goes to build/bench/ in
# place of the one BENCHMARKS.md shows.
set -euo pipefail
cd "$(dirname "$0")/.."
requests=${1:-20000}
rounds=3
sequential=$((requests < 2000 ? requests : 2000))
wrk_seconds=$((requests < 2000 ? 1 : 5))
worlds_port=9091
nginx_port=9092
front_port=8091
server=build/release/worlds-server

if [ -z "${WORLDS_BENCH_IN_NETNS:-}" ]; then
  scripts/install-deps.sh --bench
  cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
  mkdir -p build/bench /tmp/worlds-bench-nginx
  g++ -O2 -std=c++23 -o build/bench/latency bench/latency.cpp
  g++ -O2 -std=c++23 -shared -fPIC -fno-exceptions -Wl,--as-needed -o build/bench/tcp_option.so bench/tcp_option.cpp -ldl
  exec unshare --net env WORLDS_BENCH_IN_NETNS=1 "$0" "$@"
fi
ip link set lo up

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

waitPort() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.05; done; return 1; }
outSegs() { awk '/^Tcp:/ { if (!col) { for (i = 1; i <= NF; i++) if ($i == "OutSegs") col = i } else print $col }' /proc/net/snmp; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# Starts one server; sets `pid` (the process answering) and `port`.
start() {
  case $1 in
    nginx | nginx-2)
      local workers=1; [ "$1" = nginx-2 ] && workers=2
      nginx -c "$PWD/bench/nginx.conf" -g "worker_processes $workers;" -e /tmp/worlds-bench-nginx/error.log &
      pids+=($!); port=$nginx_port; waitPort $port
      pid=$(pgrep -P "${pids[-1]}" | head -n1) ;;  # a worker
    worlds) "$server" 2>/dev/null & pid=$!; pids+=("$pid"); port=$worlds_port; waitPort $port ;;
    worlds-2)
      python3 bench/workers.py "$server" $worlds_port 2 2>/dev/null & pids+=($!); port=$worlds_port; waitPort $port
      pid=$(pgrep -P "${pids[-1]}" | head -n1) ;;  # a worker
    *) WORLDS_BENCH_TCP_OPTION=${1#worlds-} LD_PRELOAD=$PWD/build/bench/tcp_option.so "$server" 2>/dev/null &
       pid=$!; pids+=("$pid"); port=$worlds_port; waitPort $port ;;
  esac
}
stop() {  # by process id only: the master for nginx, the launcher of the copies, the server itself
  local p=${pids[-1]}; unset 'pids[-1]'
  kill "$p"; wait "$p" 2>/dev/null || true
}

# A rate counts only where every request got the 200: a refusal, a failure or a broken
# connection ends the run, so that a front that answers 429s or 503s cannot pass for a fast one.
abRate() {  # port concurrency -> requests per second
  local out
  out=$(ab -q -n "$requests" -c "$2" "http://127.0.0.1:$1/api/v1/worlds" 2>&1) || { echo "$out" >&2; exit 1; }
  if grep -q '^Non-2xx responses:' <<<"$out" || ! grep -q '^Failed requests: *0$' <<<"$out"; then
    echo "ab -c $2 on port $1: not every answer was a 200" >&2; echo "$out" >&2; exit 1
  fi
  awk '/Requests per second/ {print $4}' <<<"$out"
}
wrkRate() {  # port concurrency -> requests per second, over kept-alive connections
  local out
  out=$(wrk -t1 -c"$2" -d"${wrk_seconds}s" "http://127.0.0.1:$1/api/v1/worlds") || { echo "$out" >&2; exit 1; }
  if grep -Eq '^ *(Non-2xx or 3xx responses|Socket errors):' <<<"$out"; then
    echo "wrk -c $2 on port $1: not every answer was a 200" >&2; echo "$out" >&2; exit 1
  fi
  awk '/Requests\/sec/ {print $2}' <<<"$out"
}

# The front as the package installs it, in a tree of its own laid out as /etc/nginx: the files
# of debian/worlds-server-nginx.install, the site and the busy answer enabled, the benchmark's
# client key in place of the package's, and an nginx.conf of two workers that includes them as
# Debian's does.
front=/tmp/worlds-bench-nginx/front
rm -rf "$front"
while read -r file destination; do
  install -D -m 644 "$file" "$front/${destination#etc/nginx/}$(basename "$file")"
done < debian/worlds-server-nginx.install
cp bench/front-client.conf "$front/conf.d/worlds-server-client.conf"
mkdir -p "$front/sites-enabled"
ln -s ../sites-available/worlds-server "$front/sites-enabled/worlds-server"
ln -s ../sites-available/worlds-server-busy "$front/sites-enabled/worlds-server-busy"
cat > "$front/nginx.conf" <<FRONT
worker_processes 2;
daemon off;
pid $front/nginx.pid;
error_log $front/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $front/body;
    proxy_temp_path $front/proxy;
    fastcgi_temp_path $front/fastcgi;
    uwsgi_temp_path $front/uwsgi;
    scgi_temp_path $front/scgi;
    include conf.d/*.conf;
    include sites-enabled/*;
}
FRONT
frontRates() {  # two copies behind the front: requests per second without and with keep-alive
  start worlds-2
  nginx -c "$front/nginx.conf" & pids+=($!); waitPort $front_port
  results[front,rps1]+="$(abRate $front_port 1) "
  results[front,rps50]+="$(abRate $front_port 50) "
  results[front-keepalive,rps1]+="$(wrkRate $front_port 1) "
  results[front-keepalive,rps50]+="$(wrkRate $front_port 50) "
  stop; stop
}

builds=(worlds worlds-nodelay worlds-none worlds-2 nginx nginx-2)
declare -A results
for _ in $(seq $rounds); do
  for name in "${builds[@]}"; do
    start "$name"
    results[$name,rps1]+="$(abRate "$port" 1) "
    results[$name,rps50]+="$(abRate "$port" 50) "
    before=$(outSegs)
    read -r p50 p99 max _ <<<"$(build/bench/latency "$port" $sequential | tr '=' ' ' | awk '{print $2, $4, $6}')"
    after=$(outSegs)
    results[$name,p50]+="$p50 "; results[$name,p99]+="$p99 "; results[$name,max]+="$max "
    results[$name,segs]+="$(awk -v d=$((after - before)) -v n=$((sequential + 1)) 'BEGIN {printf "%.1f", d / n}') "
    results[$name,rss]+="$(awk '/VmHWM/ {print $2}' /proc/"$pid"/status) "
    stop
  done
  frontRates
done

# System calls per request: strace attached to the answering process for 2,000 sequential
# requests (start-up and shut-down are outside the count), divided by the 2,001 the client makes.
syscallsPerRequest() {  # build -> "syscall per-request, ..." list
  start "$1"
  local out=build/bench/strace.$1
  strace -f -c -o "$out" -p "$pid" 2>/dev/null & local tracer=$!
  local tries=0
  until [ "$(awk '/TracerPid/ {print $2}' /proc/"$pid"/status)" != 0 ]; do
    tries=$((tries + 1))
    [ $tries -le 200 ] || { echo "strace did not attach to $pid within 10 s" >&2; exit 1; }
    sleep 0.05
  done
  build/bench/latency "$port" $sequential >/dev/null
  kill -INT $tracer; wait $tracer || true
  stop
  # Columns: % time, seconds, usecs/call, calls, [errors,] syscall.
  awk -v n=$((sequential + 1)) 'NR>2 && $NF != "total" && $1 !~ /^-/ {d=$4/n; if (d >= 0.01) printf "%s %.2f\n", $NF, d}' "$out" |
    sort -k2 -nr | awk '{printf "%s%s %s", sep, $1, $2; sep=", "} END {print ""}'
}
worlds_calls=$(syscallsPerRequest worlds)
nginx_calls=$(syscallsPerRequest nginx)

m() { echo "${results[$1,$2]}" | tr ' ' '\n' | grep -v '^$' | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo "| build (median of $rounds alternating rounds) | TCP segments per request | p50 µs | p99 µs | slowest of $sequential µs | requests/s, ab c=1 | requests/s, ab c=50 | peak RSS kB |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
label() {
  case $1 in
    worlds) echo "worlds, TCP_CORK (as built)" ;;
    worlds-nodelay) echo "worlds, TCP_NODELAY instead" ;;
    worlds-none) echo "worlds, no option" ;;
    worlds-2) echo "worlds, 2 copies sharing one listener" ;;
    nginx) echo "nginx $(nginx -v 2>&1 | sed 's|.*/||'), one worker" ;;
    nginx-2) echo "nginx, two workers" ;;
    front) echo "nginx front, 2 copies behind, no keep-alive" ;;
    front-keepalive) echo "nginx front, 2 copies behind, keep-alive" ;;
  esac
}
for name in "${builds[@]}"; do
  echo "| $(label "$name") | $(m "$name" segs) | $(m "$name" p50) | $(m "$name" p99) | $(m "$name" max) | $(m "$name" rps1) | $(m "$name" rps50) | $(m "$name" rss) |"
done
cat <<FRONT

| through the package's nginx front (median of $rounds rounds) | requests/s, c=1 | requests/s, c=50 |
|---|---:|---:|
| $(label worlds-2), straight (ab) | $(m worlds-2 rps1) | $(m worlds-2 rps50) |
| $(label front) (ab) | $(m front rps1) | $(m front rps50) |
| $(label front-keepalive) (wrk, $wrk_seconds s) | $(m front-keepalive rps1) | $(m front-keepalive rps50) |
FRONT
cat <<SUMMARY

- p50 of TCP_CORK / p50 of TCP_NODELAY: $(ratio "$(m worlds p50)" "$(m worlds-nodelay p50)")
- requests/s at c=1, worlds / nginx: $(ratio "$(m worlds rps1)" "$(m nginx rps1)")
- requests/s at c=50, 2 copies / 1 copy of worlds: $(ratio "$(m worlds-2 rps50)" "$(m worlds rps50)"); two workers / one of nginx: $(ratio "$(m nginx-2 rps50)" "$(m nginx rps50)")

System calls per request (strace -c attached for $sequential sequential requests, divided by $((sequential + 1))):

- worlds: $worlds_calls
- nginx: $nginx_calls
SUMMARY

# The chart: requests per second of every setup at both concurrencies, from this run's medians.
chart=bench/requests-per-second.svg
[ "$requests" -ge 2000 ] || chart=build/bench/requests-per-second.svg
for name in "${builds[@]}" front front-keepalive; do
  echo "\"$(label "$name" | sed 's/, /\\n/g')\" $(m "$name" rps1) $(m "$name" rps50)"
done > build/bench/rps.dat
gnuplot <<GNUPLOT
set terminal svg size 1100,440 dynamic noenhanced font "sans,12" background "white"
set output "$chart"
set title "Requests per second (ApacheBench, one connection per request; keep-alive: wrk), median of $rounds rounds, $(date +%F)"
set style data histogram
set style histogram cluster gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set bmargin 5
set ylabel "requests per second"
set yrange [0:*]
set grid ytics
set key top left
set xtics nomirror font "sans,10"
plot "build/bench/rps.dat" using 2:xtic(1) title "concurrency 1" linecolor rgb "#4472c4", \
     "" using 3 title "concurrency 50" linecolor rgb "#ed7d31"
GNUPLOT
echo
echo "Chart: $chart"
