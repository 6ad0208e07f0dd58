#!/usr/bin/env bash
# Installs what building and testing worlds needs, if it is missing (Debian packages).
#   --clients  also the real clients the client tests drive: curl, Chromium, systemd-analyze,
#              Node.js, and the pinned npm packages of tests/clients
#   --fuzz     also clang 19 with libc++ and libFuzzer, for the fuzz preset
#   --package  also debhelper, lintian, man, debootstrap and systemd-nspawn, for the Debian
#              package (scripts/package.sh) and the suite that boots it under systemd, with
#              the outside clients that suite drives at the front: h2load and testssl.sh; and
#              mtail and Prometheus (promtool) for the metrics package's test (Debian's
#              Prometheus package starts its server on port 9090)
#   --lint     also clang-format 19, clang-tidy 19, shellcheck and pyflakes, for scripts/lint.sh
# LLVM 19 is the one packaged on both Debian 13 and Debian 12 (a stable update there), so the
# tree's format and the fuzz build do not depend on the release.
#   --containers  also podman, runc and mmdebstrap, for the container images (scripts/images.sh)
#              and the suite that plays their pod, and kubectl for the Kubernetes manifests
#   --bench    also nginx, ApacheBench, wrk, strace, iproute2 and gnuplot, for bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
clients=false
need=()
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
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
      command -v clang++-19 >/dev/null || need+=(clang-19)
      [ -d /usr/lib/llvm-19/include/c++/v1 ] || need+=(libc++-19-dev libc++abi-19-dev)
      compgen -G '/usr/lib/llvm-19/lib/clang/19/lib/*/libclang_rt.fuzzer*.a' > /dev/null || need+=(libclang-rt-19-dev) ;;
    --package)
      dpkg -s build-essential >/dev/null 2>&1 || need+=(build-essential)
      # debian/rules asks systemd.pc where units go: systemd-dev has it on Debian 13, systemd on 12.
      command -v pkg-config >/dev/null || need+=(pkgconf)
      [ -f /usr/share/pkgconfig/systemd.pc ] || need+=("$([ "$codename" = bookworm ] && echo systemd || echo systemd-dev)")
      command -v dh >/dev/null || need+=(debhelper)
      command -v lintian >/dev/null || need+=(lintian)
      command -v man >/dev/null || need+=(man-db)
      command -v debootstrap >/dev/null || need+=(debootstrap)
      command -v systemd-nspawn >/dev/null || need+=(systemd-container)
      command -v h2load >/dev/null || need+=(nghttp2-client)
      command -v testssl >/dev/null || need+=(testssl.sh)
      command -v mtail >/dev/null || need+=(mtail)
      command -v promtool >/dev/null || need+=(prometheus) ;;
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
      command -v clang-format-19 >/dev/null || need+=(clang-format-19)
      command -v clang-tidy-19 >/dev/null || need+=(clang-tidy-19)
      command -v shellcheck >/dev/null || need+=(shellcheck)
      command -v pyflakes3 >/dev/null || need+=(pyflakes3) ;;
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
