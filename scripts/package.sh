#!/usr/bin/env bash
# Builds the Debian packages into build/package/ (worlds-server_<version>_<arch>.deb,
# worlds-server-nginx_<version>_all.deb and worlds-server-metrics_<version>_all.deb), after
# checking that debian/changelog carries the project version of CMakeLists.txt; then lintian
# must report no error and no warning for any, and the installed manual page must render without
# a warning. Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --package

version=$(sed -n 's/^project(worlds VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
if [ "$version" != "$changelog" ]; then
  echo "debian/changelog is at version $changelog, CMakeLists.txt at $version: add a changelog entry" >&2
  exit 1
fi

out=build/package
rm -rf "$out"
mkdir -p "$out/worlds-$version"
# dpkg-buildpackage writes its results next to the tree it builds, so it builds a copy of the
# sources (tracked and new files, as they are now) inside build/. A tracked file deleted in the
# work tree is left out (it is not part of the tree as it is now); any other file tar cannot
# read fails the build.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi; done |
  tar --null --files-from=- -c | tar -x -C "$out/worlds-$version"
(cd "$out/worlds-$version" && dpkg-buildpackage -b -us -uc) > "$out/build.log" 2>&1 ||
  { tail -n 60 "$out/build.log"; exit 1; }

deb=$(ls "$out"/worlds-server_"$version"_*.deb)
front=$(ls "$out"/worlds-server-nginx_"$version"_all.deb)
metrics=$(ls "$out"/worlds-server-metrics_"$version"_all.deb)
echo "built $deb, $front and $metrics"
lintian --fail-on error,warning --info "$deb" "$front" "$metrics"

pages=$(mktemp -d)
trap 'rm -rf "$pages"' EXIT
dpkg-deb -x "$deb" "$pages"
MANWIDTH=80 man --warnings -l "$pages/usr/share/man/man8/worlds-server.8.gz" > "$pages/rendered" 2> "$pages/warnings"
if [ -s "$pages/warnings" ]; then
  cat "$pages/warnings" >&2
  exit 1
fi
echo "manual page renders without warnings ($(wc -l < "$pages/rendered") lines)"
