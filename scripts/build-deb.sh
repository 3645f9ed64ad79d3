#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages into OUT (default build/deb): copies the source tree (the files git
# knows or would take, else all but the build folders) to OUT/src, runs dpkg-buildpackage there,
# keeps the .deb, .changes and .buildinfo files in OUT and removes the copy, so the checkout stays
# as it was. Then runs lintian on the result, which fails the build on an error.
set -eu
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/deb}")
version=$(sed -n 's/^project(vemrick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
src="$out/src/vemrick-$version"
rm -rf "$out"
mkdir -p "$src"
trap 'rm -rf "$out/src"' EXIT INT TERM

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -co --exclude-standard | while IFS= read -r f; do [ -e "$f" ] && printf '%s\n' "$f"; done |
        tar -cf - -T - | tar -xf - -C "$src"
else
    tar --exclude='./build*' --exclude=./.git --exclude=__pycache__ -cf - . | tar -xf - -C "$src"
fi

(cd "$src" && dpkg-buildpackage -us -uc -b)
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
echo "build-deb: packages in $out:" >&2
ls "$out"/*.deb >&2
lintian --fail-on error "$out"/*.changes
