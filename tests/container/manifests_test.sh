#!/usr/bin/env bash
# The Kubernetes manifests, offline: `kubectl kustomize deploy/kubernetes` builds them, every
# object is valid against the API's schemas and every pod template meets the Pod Security
# Standard "restricted" (tests/clients/validate_manifests.mjs); the podman pod that
# `kubectl kustomize deploy/podman` makes of the same Deployment is valid too; both name the
# images of this version, whose tag is written once under deploy/; and a copy with two faults is
# refused for each.
# Exit 77 (skipped) when kubectl, Node or the pinned validator is missing, unless
# WORLDS_REQUIRE_CLIENT_TOOLS=1.
set -euo pipefail
source_dir=${WORLDS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$source_dir"
source tests/lib/suite.sh
command -v kubectl >/dev/null || skip "missing kubectl (scripts/install-deps.sh --containers)"
command -v node >/dev/null || skip "missing node (scripts/install-deps.sh --clients)"
[ -d tests/clients/node_modules/kubernetes-models ] || skip "missing the npm packages (scripts/install-deps.sh --clients)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
validate() { node tests/clients/validate_manifests.mjs "$@"; }

kubectl kustomize deploy/kubernetes > "$work/objects.yaml" || fail "kubectl kustomize deploy/kubernetes"
# The Kubernetes the manifests say they need, which no field of theirs may exceed.
minimum=$(sed -n 's/^# Needs Kubernetes \([0-9]*\.[0-9]*\) or later:.*/\1/p' deploy/kubernetes/kustomization.yaml)
[ -n "$minimum" ] || fail "deploy/kubernetes/kustomization.yaml states no minimum Kubernetes version"
validate --restricted --minimum "$minimum" < "$work/objects.yaml" || fail "the Kubernetes manifests"
kubectl kustomize deploy/podman > "$work/pod.yaml" || fail "kubectl kustomize deploy/podman"
validate < "$work/pod.yaml" || fail "the podman pod"

version=$(sed -n 's/^project(worlds VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
for manifest in "$work/objects.yaml" "$work/pod.yaml"; do
  images=$(sed -n 's/^[ -]*image: *//p' "$manifest" | sort -u | tr '\n' ' ')
  [ "$images" = "localhost/worlds-server-front:$version localhost/worlds-server-metrics:$version localhost/worlds-server:$version " ] ||
    fail "$manifest names the images $images, not those of version $version"
done
tagged=$(git ls-files deploy | xargs grep -l -F "$version" || true)
[ "$tagged" = deploy/kubernetes/kustomization.yaml ] || fail "the tag $version is written in: $tagged"
echo "both name the server, front and metrics images of version $version, tagged in $tagged alone"

# The checks can fail: a privilege escalation allowed and a user that is not a number.
sed -e '0,/allowPrivilegeEscalation: false/s//allowPrivilegeEscalation: true/' \
    -e 's/runAsUser: 65534/runAsUser: nobody/' "$work/objects.yaml" > "$work/broken.yaml"
if validate --restricted < "$work/broken.yaml" > "$work/refused"; then fail "a broken Deployment was taken as valid"; fi
grep -q 'runAsUser must be integer' "$work/refused" || fail "the schema did not refuse runAsUser: nobody: $(cat "$work/refused")"
grep -q 'containers.server: allowPrivilegeEscalation is not false' "$work/refused" ||
  fail "the restricted standard did not refuse allowPrivilegeEscalation: true: $(cat "$work/refused")"
echo "a copy with two faults is refused for each"
if validate --minimum 1.29 < "$work/objects.yaml" > "$work/refused"; then fail "Kubernetes 1.29 was taken as enough"; fi
grep -q 'lifecycle.\*.sleep needs Kubernetes 1.30, not 1.29' "$work/refused" || fail "1.29 was refused for another reason: $(cat "$work/refused")"
echo "Kubernetes $minimum or later, as stated; 1.29 is refused (preStop sleep)"
