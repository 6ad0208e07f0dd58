// Checks Kubernetes manifests (a YAML stream on standard input, as `kubectl kustomize` prints
// it) offline: every object against the API's JSON schemas (kubernetes-models, pinned in
// package.json), and with --restricted every pod template against the Pod Security Standard
// "restricted" (a pod for one machine publishes a host port, which that standard forbids), and
// with --minimum X.Y that every field of a pod template that needs a later Kubernetes than X.Y
// (on by default there) is absent. Prints one line per object; exits 1 naming each problem.
import { readFileSync } from "node:fs";
import { parseAllDocuments } from "yaml";

// The volume types the restricted standard allows.
const RestrictedVolumes = new Set([
  "configMap", "csi", "downwardAPI", "emptyDir", "ephemeral", "persistentVolumeClaim", "projected", "secret",
]);

/** The model class of `apiVersion` and `kind`, e.g. kubernetes-models/apps/v1/Deployment. */
async function modelOf(apiVersion, kind) {
  const module = await import(`kubernetes-models/${apiVersion}/${kind}`);
  return module[kind] ?? module.default;
}

/** What in `pod` (the pod part of a Pod or of a template) breaks the restricted Pod Security Standard. */
export function restrictedViolations(pod, at) {
  const problems = [];
  for (const field of ["hostNetwork", "hostPID", "hostIPC"]) {
    if (pod[field]) problems.push(`${at}.${field} is true`);
  }
  for (const volume of pod.volumes ?? []) {
    const type = Object.keys(volume).find((key) => key !== "name");
    if (!RestrictedVolumes.has(type)) problems.push(`${at}.volumes.${volume.name}: ${type} volumes are not allowed`);
  }
  const podContext = pod.securityContext ?? {};
  const containers = [...(pod.initContainers ?? []), ...(pod.containers ?? []), ...(pod.ephemeralContainers ?? [])];
  for (const container of containers) {
    const where = `${at}.containers.${container.name}`;
    const context = container.securityContext ?? {};
    if (context.privileged) problems.push(`${where}: privileged`);
    if (context.allowPrivilegeEscalation !== false) problems.push(`${where}: allowPrivilegeEscalation is not false`);
    if (!(context.capabilities?.drop ?? []).includes("ALL")) problems.push(`${where}: capabilities do not drop ALL`);
    const added = (context.capabilities?.add ?? []).filter((capability) => capability !== "NET_BIND_SERVICE");
    if (added.length) problems.push(`${where}: adds capabilities ${added.join(", ")}`);
    if ((context.runAsNonRoot ?? podContext.runAsNonRoot) !== true) problems.push(`${where}: runAsNonRoot is not true`);
    if ((context.runAsUser ?? podContext.runAsUser) === 0) problems.push(`${where}: runs as user 0`);
    const seccomp = (context.seccompProfile ?? podContext.seccompProfile)?.type;
    if (seccomp !== "RuntimeDefault" && seccomp !== "Localhost") problems.push(`${where}: seccomp profile ${seccomp}`);
    for (const port of container.ports ?? []) {
      if (port.hostPort) problems.push(`${where}: hostPort ${port.hostPort}`);
    }
  }
  return problems;
}

/** The fields of a pod that Kubernetes takes only from some version on (on by default there),
 * each with that version and a test for its use. */
const Needs = [
  ["lifecycle.*.sleep", [1, 30], (pod) => [...(pod.initContainers ?? []), ...(pod.containers ?? [])]
    .some((c) => Object.values(c.lifecycle ?? {}).some((handler) => handler?.sleep))],
  ["topologySpreadConstraints.matchLabelKeys", [1, 27],
    (pod) => (pod.topologySpreadConstraints ?? []).some((constraint) => constraint.matchLabelKeys)],
];

/** What in `pod` needs a Kubernetes later than `minimum` ([major, minor]). */
export function newerThan(pod, minimum, at) {
  const later = ([major, minor]) => major > minimum[0] || (major === minimum[0] && minor > minimum[1]);
  return Needs.filter(([, version, uses]) => later(version) && uses(pod))
    .map(([field, version]) => `${at}: ${field} needs Kubernetes ${version.join(".")}, not ${minimum.join(".")}`);
}

/** The problems of one object. */
export async function check(object, restricted, minimum) {
  const name = `${object.kind}/${object.metadata?.name}`;
  const Model = await modelOf(object.apiVersion, object.kind).catch(() => undefined);
  if (!Model) return [`${name}: no schema for ${object.apiVersion} ${object.kind}`];
  const problems = [];
  try {
    new Model(object).validate();
  } catch (error) {
    problems.push(`${name}: ${error.message}`);
  }
  const pod = object.kind === "Pod" ? object.spec : object.spec?.template?.spec;
  if (pod && restricted) problems.push(...restrictedViolations(pod, `${name}.spec`));
  if (pod && minimum) problems.push(...newerThan(pod, minimum, `${name}.spec`));
  return problems;
}

if (import.meta.url === `file://${process.argv[1]}`) {
  const documents = parseAllDocuments(readFileSync(0, "utf8")).map((document) => document.toJS()).filter(Boolean);
  let failed = documents.length === 0;
  const stated = process.argv[process.argv.indexOf("--minimum") + 1];
  const minimum = process.argv.includes("--minimum") ? stated.split(".").map(Number) : undefined;
  for (const object of documents) {
    const problems = await check(object, process.argv.includes("--restricted"), minimum);
    console.log(`${object.kind}/${object.metadata?.name}: ${problems.length ? "REFUSED" : "valid"}`);
    for (const problem of problems) console.log(`  ${problem}`);
    failed ||= problems.length > 0;
  }
  process.exit(failed ? 1 : 0);
}
