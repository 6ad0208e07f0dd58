#!/usr/bin/env bash
# system.Metrics, in the root that system.Boot booted: worlds-server-metrics installed and
# scraped by the root's Prometheus every second; after a known load, PromQL answers its counts,
# and Prometheus has loaded the package's alerts.
set -euo pipefail
# shellcheck source=tests/lib/system.sh
source "$(dirname "$0")/../lib/system.sh"
ensure_front

step "worlds-server-metrics scraped by Prometheus: after a known load, PromQL answers the load's counts"
dpkg_inside "dpkg -i worlds-server-metrics" -i "/root/$(basename "$metrics_deb")"
# Listening on 127.0.0.1:9193 (0100007F:23E9 in /proc/net/tcp) and on no other address.
for _ in $(seq 100); do
  listening=$(inside awk '$4 == "0A" && $2 ~ /:23E9$/ {print $2}' /proc/net/tcp /proc/net/tcp6 | tr '\n' ' ')
  [ -n "$listening" ] && break
  sleep 0.1
done
inside systemctl is-active --quiet worlds-server-metrics ||
  fail "worlds-server-metrics is not active: $(inside journalctl -u worlds-server-metrics -n 20 --no-pager)"
[ "$listening" = "0100007F:23E9 " ] ||
  fail "worlds-server-metrics listens on '$listening', not 127.0.0.1:9193 alone: $(inside journalctl -u worlds-server-metrics -n 20 --no-pager)"
inside tee /etc/prometheus/prometheus.yml > /dev/null <<'YAML'
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - /usr/share/worlds-server-metrics/worlds-server.rules.yml
scrape_configs:
  - job_name: worlds
    static_configs:
      - targets: ['127.0.0.1:9193']
YAML
inside systemctl restart prometheus
promql() {  # QUERY: the value of its one result, 0 when it has none
  inside curl -s --data-urlencode "query=$1" http://127.0.0.1:9090/api/v1/query |
    python3 -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; print(int(float(r[0]["value"][1])) if r else 0)'
}
for _ in $(seq 150); do [ "$(promql 'up{job="worlds"}' 2>/dev/null)" = 1 ] && break; sleep 0.2; done
[ "$(promql 'up{job="worlds"}')" = 1 ] || fail "Prometheus does not scrape worlds-server-metrics"
counts() {  # the series of the load: 200, 404 and 429 answers through the front, worker exits, those by a signal
  echo "$(promql 'sum(worlds_front_requests_total{code="200"})') $(promql 'sum(worlds_front_requests_total{code="404"})')" \
    "$(promql 'sum(worlds_front_requests_total{code="429"})') $(promql 'sum(worlds_worker_exits_total)')" \
    "$(promql 'sum(worlds_worker_exits_total{error="signal"})')"
}
settled() {  # waits until two scrapes 1.5 s apart agree, and prints their counts
  local last='' now
  for _ in $(seq 40); do now=$(counts); [ "$now" = "$last" ] && { echo "$now"; return; }; last=$now; sleep 1.5; done
  fail "the series did not settle: $now"
}
read -r ok_before missing_before refused_before exits_before killed_before <<<"$(settled)"
cursor=$(inside journalctl -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p')
# The load: N answered GETs, M requests for another path, K workers ended by a reset mid-head,
# one by a SIGKILL, and a crowd of 40 in flight from one address, past its share of 16.
n=300 m=20 k=3
inside bash -c "for i in \$(seq $n); do curl -s -o /dev/null http://127.0.0.1:8091/api/v1/worlds; done"
inside bash -c "for i in \$(seq $m); do curl -s -o /dev/null http://127.0.0.1:8091/x; done"
clients restarts $k > /dev/null
inside sh -c 'kill -KILL "$1"' sh "$(inside systemctl show -p MainPID --value worlds-server@1)"
for _ in $(seq 50); do inside systemctl is-active --quiet worlds-server@1 && break; sleep 0.1; done
answers_exactly
nsenter -t "$leader" -n h2load --h1 -n 3000 -c 40 http://127.0.0.1:8091/api/v1/worlds > build/system/crowd.log 2>&1 ||
  { cat build/system/crowd.log; fail "h2load's crowd"; }
crowd=$(h2load_totals build/system/crowd.log)
read -r _ crowd_ok crowd_refused crowd_5xx _ <<<"$crowd"
[ "$crowd_5xx" = 0 ] && [ "$crowd_refused" -gt 0 ] || fail "the crowd: $(grep '^status codes' build/system/crowd.log)"
# A worker's exit is its journal's "error:" line (at least the K resets), or systemd's line for
# one killed without a word (the SIGKILL).
journal=$(inside journalctl -u 'worlds-server@*' -o cat --no-pager --after-cursor="$cursor")
errors=$(grep -c '^error: ' <<<"$journal" || true)
killed=$(grep -c "^worlds-server@[0-9]*\.service: Failed with result 'signal'\.$" <<<"$journal" || true)
[ "$errors" -ge $k ] || fail "$errors workers' exits in the journal for $k resets"
[ "$killed" = 1 ] || fail "systemd's journal has $killed lines for the SIGKILL: $(tail -n 20 <<<"$journal")"
exits=$((errors + killed))
read -r ok missing refused worker_exits signalled <<<"$(settled)"
printf '%-48s %8s %8s\n' "PromQL (increase over the load)" "answer" "the load" \
  'sum(worlds_front_requests_total{code="200"})' $((ok - ok_before)) $((n + crowd_ok)) \
  'sum(worlds_front_requests_total{code="404"})' $((missing - missing_before)) $m \
  'sum(worlds_front_requests_total{code="429"})' $((refused - refused_before)) "$crowd_refused" \
  'sum(worlds_worker_exits_total)' $((worker_exits - exits_before)) "$exits" \
  'sum(worlds_worker_exits_total{error="signal"})' $((signalled - killed_before)) "$killed"
[ $((ok - ok_before)) = $((n + crowd_ok)) ] && [ $((missing - missing_before)) = $m ] &&
  [ $((refused - refused_before)) = "$crowd_refused" ] && [ $((worker_exits - exits_before)) = "$exits" ] &&
  [ $((signalled - killed_before)) = "$killed" ] ||
  fail "PromQL's answers differ from the load's counts"
rules=$(inside curl -s http://127.0.0.1:9090/api/v1/rules | python3 -c 'import json, sys; print(" ".join(sorted(r["name"] for g in json.load(sys.stdin)["data"]["groups"] for r in g["rules"] if r["type"] == "alerting")))')
[ "$rules" = "WorldsFrontErrors WorldsFrontRefusing WorldsFrontSlow WorldsMetricsAbsent WorldsWorkersExiting" ] || fail "the alerts Prometheus loaded: $rules"
echo "Prometheus loaded the alerts: $rules"
echo PASS
