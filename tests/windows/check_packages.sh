#!/usr/bin/env bash
# Packs with CPack and checks what the packages hold.
# usage: check_packages.sh deb CPACK_CONFIG OUT_DIR MODULE.so FILE...   (FILE: paths under /usr)
#        check_packages.sh zip CPACK_CONFIG OUT_DIR X86.dll X64.dll
# Exit 77 (skipped) for the zip only when the cross toolchain is not installed.
set -u
kind=$1 config=$2 out=$3
shift 3
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$out" && mkdir -p "$out" || fail "cannot make $out"

case "$kind" in
deb)
    module=$1
    shift
    cpack --config "$config" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; fail cpack; }
    deb=$(ls "$out"/*.deb 2>/dev/null | head -n1)
    [ -n "$deb" ] || fail "no .deb in $out"
    echo "$(basename "$deb"):"
    dpkg-deb -c "$deb" | tee "$out/contents"
    for f in "$@"; do
        grep -q " \./usr/$f\$" "$out/contents" || fail "$f is not in the package"
    done
    [ "$(dpkg-deb -f "$deb" Package)" = tapedeck5500 ] || fail "package name"
    [ "$(dpkg-deb -f "$deb" Version)" = 1.0.0.1 ] || fail "package version"
    dpkg-deb -x "$deb" "$out/root" || fail "cannot unpack"
    cmp "$module" "$out/root/usr/lib/$(basename "$module")" || fail "the packed module is not the built one"
    ;;
zip)
    x86=$1 x64=$2
    if ! command -v i686-w64-mingw32-g++-posix >/dev/null ||
       ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
        echo "SKIP: the MinGW-w64 cross compilers are not installed (scripts/install-deps windows)"
        exit 77
    fi
    [ -f "$x86" ] && [ -f "$x64" ] || fail "the Windows modules are missing (run \`make windows\`)"
    cpack --config "$config" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; fail cpack; }
    zip=$(ls "$out"/*.zip 2>/dev/null | head -n1)
    [ -n "$zip" ] || fail "no .zip in $out"
    echo "$(basename "$zip"):"
    cmake -E tar tf "$zip" | tee "$out/contents"
    top=$(basename "$zip" .zip)
    for f in x86/tapedeck5500.dll x64/tapedeck5500.dll README.md; do
        grep -qx "$top/$f" "$out/contents" || fail "$top/$f is not in the archive"
    done
    mkdir -p "$out/root" && (cd "$out/root" && cmake -E tar xf "$zip") || fail "cannot unpack"
    # Each folder holds its own build: a swap would hand 32-bit hosts the 64-bit module.
    cmp "$x86" "$out/root/$top/x86/tapedeck5500.dll" || fail "x86/ is not the x86 build"
    cmp "$x64" "$out/root/$top/x64/tapedeck5500.dll" || fail "x64/ is not the x64 build"
    ;;
*)
    fail "unknown kind $kind"
    ;;
esac
echo "packages: ok"
