#!/usr/bin/env bash
# Installs what building and testing worlds needs, if it is missing (Debian packages).
#   --clients  also the real clients the client tests drive: curl, Chromium, systemd-analyze,
#              Node.js, and the pinned npm packages of tests/clients
#   --fuzz     also clang 16 with libc++ and libFuzzer, for the fuzz preset
#   --package  also debhelper, lintian, man, debootstrap and systemd-nspawn, for the Debian
#              package (scripts/package.sh) and the suite that boots it under systemd
#   --lint     also clang-format 16 and clang-tidy 16, for scripts/lint.sh
#   --containers  also podman, runc and mmdebstrap, for the container images (scripts/images.sh)
#              and the suite that plays their pod, and kubectl for the Kubernetes manifests
#   --bench    also nginx, ApacheBench, wrk, strace, iproute2 and gnuplot, for bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
clients=false
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || need+=(libgtest-dev libgmock-dev)
for option in "$@"; do
  case "$option" in
    --clients)
      clients=true
      command -v curl >/dev/null || need+=(curl)
      command -v chromium >/dev/null || need+=(chromium)
      command -v systemd-analyze >/dev/null || need+=(systemd)
      # systemd-analyze verify opens the manual page that the units' Documentation= names
      command -v man >/dev/null || need+=(man-db)
      command -v npm >/dev/null || need+=(nodejs npm) ;;
    --fuzz)
      command -v clang++-16 >/dev/null || need+=(clang-16)
      [ -d /usr/lib/llvm-16/include/c++/v1 ] || need+=(libc++-16-dev libc++abi-16-dev)
      [ -f /usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.fuzzer-x86_64.a ] || need+=(libclang-rt-16-dev) ;;
    --package)
      dpkg -s build-essential >/dev/null 2>&1 || need+=(build-essential)
      command -v dh >/dev/null || need+=(debhelper)
      command -v lintian >/dev/null || need+=(lintian)
      command -v man >/dev/null || need+=(man-db)
      command -v debootstrap >/dev/null || need+=(debootstrap)
      command -v systemd-nspawn >/dev/null || need+=(systemd-container) ;;
    --containers)
      command -v podman >/dev/null || need+=(podman)
      command -v runc >/dev/null || need+=(runc)
      command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
      # the pod's pause process, and its network when podman runs as root
      command -v catatonit >/dev/null || need+=(catatonit)
      command -v iptables >/dev/null || need+=(iptables)
      [ -d /usr/lib/cni ] || need+=(containernetworking-plugins)
      command -v kubectl >/dev/null || need+=(kubernetes-client) ;;
    --lint)
      command -v clang-format-16 >/dev/null || need+=(clang-format-16)
      command -v clang-tidy-16 >/dev/null || need+=(clang-tidy-16) ;;
    --bench)
      command -v nginx >/dev/null || need+=(nginx)
      command -v ab >/dev/null || need+=(apache2-utils)
      command -v wrk >/dev/null || need+=(wrk)
      command -v strace >/dev/null || need+=(strace)
      command -v ip >/dev/null || need+=(iproute2)
      command -v gnuplot >/dev/null || need+=(gnuplot-nox) ;;
    *) echo "unknown option: $option" >&2; exit 2 ;;
  esac
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "run this as root (apt-get needs it, and sudo is not installed)" >&2; exit 1; }
    sudo_cmd=(sudo)
  fi
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${need[@]}"
fi
if $clients; then
  npm ci --prefix tests/clients --no-audit --no-fund
fi
