#!/usr/bin/env bash
# Builds the Debian packages the Debian way, with dpkg-buildpackage and
# debhelper (debian/), for amd64 (the virtual board), armhf and arm64 (the
# Pis; cross-built with Debian's cross compilers and multiarch Qt), into
# build-deb/. The build runs on a copy of the checkout's files, so that
# debhelper's work files stay out of the checkout and the packages out of
# its parent directory. The tests are not built (DEB_BUILD_OPTIONS=nocheck):
# tools/test.sh runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-deb
rm -rf "$out"
mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
for arch in amd64 armhf arm64; do
    SECONDS=0
    cross=()
    [ "$arch" = "$(dpkg --print-architecture)" ] || cross=(-a"$arch")
    if ! (cd "$out/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
            dpkg-buildpackage -b -us -uc -d "${cross[@]}") >"$log" 2>&1; then
        tail -50 "$log"
        echo "package-build: dpkg-buildpackage failed for $arch" >&2
        exit 1
    fi
    echo "$arch: $(cd "$out" && ls ./*_"$arch".deb | tr '\n' ' ')($SECONDS s)"
done
