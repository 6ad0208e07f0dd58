# shellcheck shell=bash
# Sourced by the shell suites and checks (tests/system, tests/container, scripts/fresh-machine.sh):
#   skip REASON   exit 77 (skipped), or fail under WORLDS_REQUIRE_CLIENT_TOOLS=1, where a
#                 missing tool is a failure
#   fail WHAT     exit 1 with a line that says what failed
#   step WHAT     a heading line for the next step
#   awaitStarted FILE LOG
#                 waits up to 10 s for FILE, which a clients.py load in the background creates
#                 at its first answer (--started FILE); fails, showing LOG, if it never comes
skip() {
  if [ "${WORLDS_REQUIRE_CLIENT_TOOLS:-}" = 1 ]; then echo "FAIL: $1 (WORLDS_REQUIRE_CLIENT_TOOLS=1)" >&2; exit 1; fi
  echo "skipped: $1"
  exit 77
}
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }
awaitStarted() {
  for _ in $(seq 100); do [ -f "$1" ] && return; sleep 0.1; done
  cat "$2"
  fail "the load had no answer within 10 s"
}
