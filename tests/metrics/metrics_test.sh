#!/usr/bin/env bash
# The metrics package's programs and rules, offline: mtail turns a known log (the front's lines,
# with and without syslog's prefix, and the workers' journal) into exactly the series it should;
# promtool checks the alerting rules and runs their unit tests (packaging/prometheus/*.test.yml).
# Exit 77 (skipped) without mtail or promtool, unless WORLDS_REQUIRE_CLIENT_TOOLS=1.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/lib/suite.sh
for tool in mtail promtool; do
  command -v "$tool" >/dev/null || skip "missing $tool (scripts/install-deps.sh --package)"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Two answers (one tried twice), a refusal, a 404 of another method over syslog, a worker's exit,
# its restart's two lines and a request of the other worker; systemd's lines for that exit (not
# counted again), for a SIGKILL and for the out-of-memory killer.
cat > "$work/log" <<'LOG'
200 GET 0.002 0.001
429 GET 0.000 -
200 GET 0.004 0.000, 0.003
<190>Dec  9 21:00:00 worlds: 404 OTHER 0.001 0.001
Wed 2026-12-09 21:00:00 UTC vm worlds-server@2.service[251]: error: ConnectionResetByPeer
Wed 2026-12-09 21:00:00 UTC vm worlds-server@2.service[252]: info: All your codebase are belong to us.
Wed 2026-12-09 21:00:00 UTC vm worlds-server@2.service[252]: info: Listening..
Wed 2026-12-09 21:00:00 UTC vm worlds-server@1.service[250]: info: GET /api/v1/worlds
Wed 2026-12-09 21:00:00 UTC vm init.scope[1]: worlds-server@2.service: Failed with result 'exit-code'.
Wed 2026-12-09 21:00:01 UTC vm init.scope[1]: worlds-server@1.service: Main process exited, code=killed, status=9/KILL
Wed 2026-12-09 21:00:01 UTC vm init.scope[1]: worlds-server@1.service: Failed with result 'signal'.
Wed 2026-12-09 21:00:02 UTC vm init.scope[1]: worlds-server@2.service: A process of this unit has been killed by the OOM killer.
Wed 2026-12-09 21:00:02 UTC vm init.scope[1]: worlds-server@2.service: Failed with result 'oom-kill'.
LOG
mtail --progs packaging/metrics --logs "$work/log" --emit_prog_label=false --one_shot --one_shot_format prometheus \
  2> "$work/mtail.err" | grep -E '^worlds_' | grep -Ev '_bucket\{le="(0\.001|0\.0025|0\.01|0\.025|0\.05|0\.1|0\.25|0\.5|1|2\.5|5|10)"\}' \
  | awk '/_sum / {printf "%s %.4f\n", $1, $2; next} {print}' > "$work/series" ||
  { cat "$work/mtail.err"; fail "mtail"; }
diff -u - "$work/series" <<'SERIES' || fail "mtail's series differ (above)"
worlds_front_request_seconds_bucket{le="0.0005"} 1
worlds_front_request_seconds_bucket{le="0.005"} 4
worlds_front_request_seconds_bucket{le="+Inf"} 4
worlds_front_request_seconds_sum 0.0071
worlds_front_request_seconds_count 4
worlds_front_requests_total{code="200",method="GET"} 2
worlds_front_requests_total{code="404",method="OTHER"} 1
worlds_front_requests_total{code="429",method="GET"} 1
worlds_front_upstream_seconds_bucket{le="0.0005"} 0
worlds_front_upstream_seconds_bucket{le="0.005"} 3
worlds_front_upstream_seconds_bucket{le="+Inf"} 3
worlds_front_upstream_seconds_sum 0.0050
worlds_front_upstream_seconds_count 3
worlds_worker_exits_total{error="ConnectionResetByPeer",worker="worlds-server@2"} 1
worlds_worker_exits_total{error="oom-kill",worker="worlds-server@2"} 1
worlds_worker_exits_total{error="signal",worker="worlds-server@1"} 1
worlds_worker_requests_total{worker="worlds-server@1"} 1
SERIES
echo "mtail: the series of the known log, exactly"

# The front image logs over syslog what the package logs to a file: the same fields, a line end
# added (deploy/images/front/worlds-server-metrics.conf).
format() { sed -n "s/^log_format worlds_metrics '\(.*\)';\$/\1/p" "$1"; }
package_format=$(format packaging/metrics/nginx.conf)
[ -n "$package_format" ] && [ "$(format deploy/images/front/worlds-server-metrics.conf)" = "$package_format\\n" ] ||
  fail "the front image's log format is not the package's with a line end"
echo "the front image logs the package's fields: $package_format"

promtool check rules packaging/prometheus/worlds-server.rules.yml
(cd packaging/prometheus && promtool test rules worlds-server.rules.test.yml)
