// Fetches the live worlds answer and validates it against the WorldList schema of the OpenAPI
// document. Usage: node validate_answer.mjs OPENAPI_YAML URL
import { readFileSync } from 'node:fs';
import Ajv2020 from 'ajv/dist/2020.js';
import { parse } from 'yaml';

const [openapiPath, url] = process.argv.slice(2);
const document = parse(readFileSync(openapiPath, 'utf8'));

// The component schemas become $defs of one JSON Schema 2020-12 document.
const defs = JSON.parse(JSON.stringify(document.components.schemas).replaceAll('#/components/schemas/', '#/$defs/'));
const ajv = new Ajv2020({ allErrors: true, strict: true });
ajv.addFormat('uint32', { type: 'number', validate: (n) => Number.isInteger(n) && n >= 0 && n <= 0xffffffff });
ajv.addFormat('uint64', { type: 'number', validate: (n) => Number.isInteger(n) && n >= 0 });
const validate = ajv.compile({ $defs: defs, $ref: '#/$defs/WorldList' });

const response = await fetch(url);
const text = await response.text();
const problems = [];
if (response.status !== 200) problems.push(`status ${response.status}`);
if (response.headers.get('content-type') !== 'application/json') problems.push(`content-type ${response.headers.get('content-type')}`);
if (response.headers.has('content-length')) problems.push('a Content-Length header, which the contract says is absent');
const body = JSON.parse(text);
if (!validate(body)) problems.push(...validate.errors.map((e) => `${e.instancePath || '/'} ${e.message}`));
// The schema's own example must match it too, or the contract contradicts itself.
for (const example of document.components.schemas.WorldList.examples ?? []) {
  if (!validate(example)) problems.push('the WorldList example does not match its schema');
}
if (problems.length > 0) {
  console.error(`the live answer breaks the contract:\n  ${problems.join('\n  ')}\nbody: ${text}`);
  process.exit(1);
}
console.log(`the live answer (${text.length} bytes) matches the WorldList schema`);
