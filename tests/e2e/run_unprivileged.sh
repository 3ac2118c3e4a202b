#!/bin/sh
# Runs the end-to-end suite as nobody over copies of the test binary and the module, since the
# build tree may not be readable by that user. Exit 77 (skipped) when not root. TAPEDECK_RUNNER
# names an emulator for a suite the kernel cannot run itself.
set -eu
tests=$1
module=$2

if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the suite already runs unprivileged"
    exit 77
fi
if command -v setpriv >/dev/null 2>&1; then
    drop="setpriv --reuid=65534 --regid=65534 --clear-groups"
elif command -v runuser >/dev/null 2>&1; then
    drop="runuser -u nobody --"
else
    echo "neither setpriv nor runuser found; cannot drop privileges" >&2
    exit 1
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
chmod 755 "$dir"
cp "$tests" "$dir/e2e_tests"
cp "$module" "$dir/libtapedeck5500.so"
chmod 755 "$dir/e2e_tests" "$dir/libtapedeck5500.so"
mkdir "$dir/tmp"
chmod 1777 "$dir/tmp"

cd "$dir"
# A clean environment: no TAPEDECK_COM<N> of the caller's, HOME and TMPDIR the user can use.
env -i PATH=/usr/bin:/bin HOME="$dir/tmp" TMPDIR="$dir/tmp" \
    E2E_MODULE="$dir/libtapedeck5500.so" \
    $drop ${TAPEDECK_RUNNER:-} "$dir/e2e_tests" --gtest_brief=1
