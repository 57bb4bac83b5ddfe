#!/usr/bin/env bash
# Builds the Debian packages (debian/) into build/deb/ and checks them with lintian, failing on
# any error or warning. Installs what the build and the packaging need when it is missing
# (scripts/setup.sh). The build works on a copy of the working tree in build/deb/source, as
# dpkg-buildpackage builds in the tree and writes the packages beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh packages

out=build/deb
rm -rf "$out"
mkdir -p "$out/source"
# The files git knows or would add, as they are now; without git, the tree less its builds.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [[ -e $file ]] && printf '%s\0' "$file"; done |
    tar -cf - --null -T - | tar -xf - -C "$out/source"
else
  tar -cf - --exclude=./build --exclude=node_modules . | tar -xf - -C "$out/source"
fi

log=$out/build.log
echo "Building the packages (log: $log)"
if ! (cd "$out/source" && dpkg-buildpackage -b -us -uc) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "package: dpkg-buildpackage failed; the whole log is $log" >&2
  exit 1
fi
rm -rf "$out/source"

# Info-level tags are shown too, so that they are seen; only errors and warnings fail.
lintian --fail-on error,warning --info --display-info "$out"/*.changes
echo "Packages in $out:"
ls -1 "$out"/*.deb
