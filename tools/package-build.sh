#!/usr/bin/env bash
# Builds the Debian packages the Debian way, with dpkg-buildpackage and
# debhelper (debian/), into build-deb/: on amd64 the source package and the
# board tool's package, with the build dependencies checked and the tests
# run in the build; for armhf and arm64 (the Pis) the updater's and the
# board tool's packages, cross-built with Debian's cross compilers and
# multiarch Qt, their build dependencies checked too. A cross build does
# not run the tests (the nocheck profile, as Debian cross-builds):
# tools/arm-test.sh runs them under qemu-user. The amd64 build's tests, the
# suite again with Debian's hardening flags, run the end-to-end cases at
# worker level, as under the sanitizers. The build runs on a copy of
# the checkout's files, so that debhelper's work files stay out of the
# checkout and the packages out of its parent directory.
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
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
        options="parallel=$(nproc)" build=()
    else
        options="nocheck parallel=$(nproc)" build=(-b -a"$arch" -Pnocheck)
    fi
    if ! (cd "$out/src" && DEB_BUILD_OPTIONS="$options" LUMO_TESTS_AT_WORKER_LEVEL=1 dpkg-buildpackage -us -uc "${build[@]}") >"$log" 2>&1; then
        tail -50 "$log"
        echo "package-build: dpkg-buildpackage failed for $arch" >&2
        exit 1
    fi
    tests=$(sed -n 's/^\([0-9]*% tests passed.*\)/\1/p' "$log")
    echo "$arch: $(cd "$out" && ls ./*_"$arch".deb $([ ${#build[@]} -gt 0 ] || echo ./*.dsc) | tr '\n' ' ')($SECONDS s)${tests:+; in the build: $tests}"
done
