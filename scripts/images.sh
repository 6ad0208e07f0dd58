#!/usr/bin/env bash
# Builds the container images with podman from Debian's packages, pulling nothing:
#   localhost/worlds-server:VERSION        the static server in an image FROM scratch
#   localhost/worlds-server-front:VERSION  nginx from a Debian 13 root, with the package's front
#   localhost/worlds-server-metrics:VERSION  mtail from a Debian 13 root, with the front's program
# and saves each as an OCI archive in build/images/ (podman load, docker load, ctr import).
# Each is reproducible: every timestamp is the commit's, and no build path reaches the binary,
# so a clone of the same commit anywhere builds the same server image ID (and the same front
# image ID while Debian serves the same package versions).
# Usage: scripts/images.sh [server|front|metrics]   (all when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
case $which in server|front|metrics|all) ;; *) echo "usage: scripts/images.sh [server|front|metrics]" >&2; exit 2 ;; esac
scripts/install-deps.sh --containers

version=$(sed -n 's/^project(worlds VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
revision=$(git rev-parse HEAD)
# A tree with changes not committed is not that commit: say so in the label.
git diff --quiet HEAD -- || revision="$revision-modified"
epoch=$(git log -1 --format=%ct)
created=$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)
# The project has no published repository yet: set WORLDS_SOURCE_URL to where it lives.
source_url=${WORLDS_SOURCE_URL:-https://worlds.example.org/worlds.git}
mirror=${WORLDS_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security_mirror=${WORLDS_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
out=build/images
mkdir -p "$out"
context=$(mktemp -d)
trap 'rm -rf "$context"' EXIT

build() {  # name, Containerfile: builds localhost/NAME:VERSION from $context and saves it
  local name=$1 containerfile=$2
  podman build --quiet --timestamp "$epoch" --file "$containerfile" \
    --label org.opencontainers.image.version="$version" --label org.opencontainers.image.revision="$revision" \
    --label org.opencontainers.image.created="$created" --label org.opencontainers.image.source="$source_url" \
    --tag "localhost/$name:$version" "$context" > /dev/null
  rm -f "$out/$name-$version.oci.tar"
  podman save --quiet --format oci-archive --output "$out/$name-$version.oci.tar" "localhost/$name:$version"
  local id size
  id=$(podman image inspect --format '{{.Id}}' "localhost/$name:$version")
  size=$(podman image inspect --format '{{.Size}}' "localhost/$name:$version")
  echo "localhost/$name:$version  id ${id:0:12}  $size bytes  $out/$name-$version.oci.tar"
}

# The server: linked statically and stripped (the static preset), alone in the image.
if [ "$which" = server ] || [ "$which" = all ]; then
  cmake --preset static > /dev/null
  cmake --build --preset static > /dev/null
  cp build/static/worlds-server "$context/"
  build worlds-server deploy/images/server/Containerfile
  rm -f "$context/worlds-server"
fi

# A Debian 13 root with only what PACKAGE needs (the essential packages and it, without
# documentation, manual pages or locales), finished by CUSTOMIZE, as $context/root.tar. The
# merged-usr hook lays /bin, /lib and /sbin out as links into /usr from the start, so the usrmerge
# package, and the 50 MB of perl it needs, is not installed.
debian_root() {  # PACKAGE CUSTOMIZE LOG
  SOURCE_DATE_EPOCH=$epoch mmdebstrap --quiet --variant=essential --include="$1" \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/lintian/*' \
    --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
    --customize-hook="$2"' "$1"' \
    trixie "$context/root.tar" \
    "deb $mirror trixie main" "deb $mirror trixie-updates main" \
    "deb $security_mirror trixie-security main" > "$3" 2>&1 || { tail -n 30 "$3"; exit 1; }
}

# The front: nginx, the package's nginx files, this image's nginx.conf.
if [ "$which" = front ] || [ "$which" = all ]; then
  debian_root nginx deploy/images/front/customize.sh "$out/front-root.log"
  build worlds-server-front deploy/images/front/Containerfile
  rm -f "$context/root.tar"
fi

# The metrics sidecar: mtail and the front's program.
if [ "$which" = metrics ] || [ "$which" = all ]; then
  debian_root mtail deploy/images/metrics/customize.sh "$out/metrics-root.log"
  build worlds-server-metrics deploy/images/metrics/Containerfile
fi
