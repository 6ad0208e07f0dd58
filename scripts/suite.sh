# Sourced by the shell suites and checks (tests/system, tests/container, scripts/fresh-machine.sh):
#   skip REASON   exit 77 (skipped), or fail under WORLDS_REQUIRE_CLIENT_TOOLS=1, where a
#                 missing tool is a failure
#   fail WHAT     exit 1 with a line that says what failed
#   step WHAT     a heading line for the next step
skip() {
  if [ "${WORLDS_REQUIRE_CLIENT_TOOLS:-}" = 1 ]; then echo "FAIL: $1 (WORLDS_REQUIRE_CLIENT_TOOLS=1)" >&2; exit 1; fi
  echo "skipped: $1"
  exit 77
}
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }
