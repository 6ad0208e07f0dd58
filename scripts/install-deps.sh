#!/usr/bin/env bash
# Installs what building and testing worlds needs, if it is missing (Debian packages).
# With --clients, also the real clients the client tests drive: curl, Chromium, systemd's
# systemd-analyze, Node.js, and the pinned npm packages of tests/clients.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || need+=(libgtest-dev libgmock-dev)
if [ "${1:-}" = --clients ]; then
  command -v curl >/dev/null || need+=(curl)
  command -v chromium >/dev/null || need+=(chromium)
  command -v systemd-analyze >/dev/null || need+=(systemd)
  command -v npm >/dev/null || need+=(nodejs npm)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${need[@]}"
fi
if [ "${1:-}" = --clients ]; then
  npm ci --prefix tests/clients --no-audit --no-fund
fi
