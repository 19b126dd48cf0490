#!/usr/bin/env bash
# Writes the declaration file of the client module from its JSDoc with the pinned TypeScript
# (type-checking the module on the way) and fails when web/vorn-fonts.d.ts is not what it writes,
# or when web/package.json does not name the project's version and both files.
#   check.sh [PROJECT_VERSION]     check (the test)
#   check.sh --write               rewrite web/vorn-fonts.d.ts after changing the module
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
web="$here/../../web"
# A copy of the compiler per checkout, installed from the lock file once.
if [ ! -x "$here/node_modules/.bin/tsc" ]; then
    (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
fi
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
"$here/node_modules/.bin/tsc" -p "$here/tsconfig.json" --outDir "$out"

if [ "${1:-}" = "--write" ]; then
    cp "$out/vorn-fonts.d.ts" "$web/vorn-fonts.d.ts"
    echo "wrote web/vorn-fonts.d.ts"
    exit 0
fi
if ! diff -u "$web/vorn-fonts.d.ts" "$out/vorn-fonts.d.ts"; then
    echo "web/vorn-fonts.d.ts is not what the module's JSDoc gives;" \
         "run tools/typescript/check.sh --write" >&2
    exit 1
fi
node --input-type=module - "$web/package.json" "${1:-}" <<'JS'
import {readFileSync, existsSync} from 'node:fs';
import {dirname, join} from 'node:path';
const [file, version] = process.argv.slice(2);
const pkg = JSON.parse(readFileSync(file, 'utf8'));
const entry = pkg.exports?.['.'] ?? {};
const named = [entry.types, entry.default, pkg.types];
const missing = named.filter((f) => !f || !existsSync(join(dirname(file), f)));
if (missing.length) throw new Error('package.json names files that are not there: ' + missing);
if (version && pkg.version !== version) {
  throw new Error(`package.json has version ${pkg.version}, the project ${version}`);
}
JS
echo "web/vorn-fonts.d.ts and web/package.json are up to date"
