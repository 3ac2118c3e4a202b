#!/usr/bin/env bash
# Packs with CPack and checks what the packages hold.
# usage: check_packages.sh deb CPACK_CONFIG OUT_DIR VERSION MODULE.so FILE...   (FILE: paths under /usr)
#        check_packages.sh lintian OUT_DIR        (the .deb the deb check left in OUT_DIR)
#        check_packages.sh zip CPACK_CONFIG OUT_DIR X86.dll X64.dll
# Exit 77 (skipped) only where a tool is missing: lintian for the lint, the cross toolchain for
# the zip.
set -u
kind=$1
fail() { echo "FAIL: $*"; exit 1; }

if [ "$kind" = lintian ]; then
    out=$2
    command -v lintian >/dev/null || { echo "SKIP: lintian is not installed (scripts/install-deps packaging)"; exit 77; }
    deb=$(ls "$out"/*.deb 2>/dev/null | head -n1)
    [ -n "$deb" ] || fail "no .deb in $out (packages.deb makes it)"
    # --allow-root: CI runs the tests as root, which is no fault of the package.
    lintian --allow-root --display-info --fail-on error,warning "$deb"
    rc=$?
    [ $rc -eq 0 ] || fail "lintian reports errors or warnings on $(basename "$deb") (status $rc)"
    echo "lintian: no error, no warning"
    exit 0
fi

config=$2 out=$3
shift 3
rm -rf "$out" && mkdir -p "$out" || fail "cannot make $out"

case "$kind" in
deb)
    version=$1 module=$2
    shift 2
    cpack --config "$config" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; fail cpack; }
    deb=$(ls "$out"/*.deb 2>/dev/null | head -n1)
    [ -n "$deb" ] || fail "no .deb in $out"
    echo "$(basename "$deb"):"
    dpkg-deb -I "$deb" control
    dpkg-deb -c "$deb" | tee "$out/contents"
    for f in "$@"; do
        grep -q " \./usr/$f\$" "$out/contents" || fail "$f is not in the package"
    done
    [ "$(dpkg-deb -f "$deb" Package)" = tapedeck5500 ] || fail "package name"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
    dpkg-deb -x "$deb" "$out/root" || fail "cannot unpack"
    root=$(cd -P "$out/root" && pwd)
    packed=$root/usr/lib/tapedeck5500/$(basename "$module")
    # What CPack strips must be the built module; the build tree keeps its symbols.
    strip -o "$out/module.stripped" "$module" || fail "cannot strip a copy of $module"
    cmp "$out/module.stripped" "$packed" || fail "the packed module is not the built one, stripped"

    # The unpacked tools run from there: their version is the package's, and deckctl finds
    # the module in the unpacked /usr/lib/tapedeck5500 (not the build tree it came from).
    for tool in deckctl decksim; do
        v=$("$root/usr/bin/$tool" --version) || fail "$tool --version failed"
        [ "$v" = "$tool $version" ] || fail "$tool --version says '$v', the package is $version"
    done
    ident=$("$root/usr/bin/deckctl" identify) || { echo "$ident"; fail "unpacked deckctl identify"; }
    echo "$ident"
    loaded=$(sed -n 's/^module *//p' <<<"$ident")
    [ "$(realpath -e "$loaded")" = "$packed" ] || fail "deckctl loaded $loaded, not $packed"
    "$root/usr/bin/deckctl" demo >"$out/demo.log" 2>&1 || { cat "$out/demo.log"; fail "unpacked deckctl demo"; }
    echo "unpacked deckctl demo: ok ($(grep -c . "$out/demo.log") lines)"

    # The unpacked decksim as a deck of its own: its options keep their meaning (system 4
    # answers the video-system request with 01) and wrong ones end with status 2: drop frame
    # only at 29.97 and 59.94, an odd whole rate above 30 (frame pairs) not at all.
    for bad in "--video-system 2" "--fps 0" "--baud 0" "--link" "--fps 29.5 --drop-frame" \
        "--fps 25 --drop-frame" "--fps 45"; do
        # One taken by mistake would serve on; the time-out ends it with 124.
        # shellcheck disable=SC2086  # the words of each case are separate arguments
        timeout 5 "$root/usr/bin/decksim" $bad >/dev/null 2>&1
        [ $? -eq 2 ] || fail "decksim $bad did not end with status 2"
    done
    "$root/usr/bin/decksim" --link "$out/deck" --video-system 4 --trace >"$out/decksim.log" 2>&1 &
    deck=$!
    # It prints its device once it serves.
    for _ in $(seq 50); do [ -s "$out/decksim.log" ] && break; sleep 0.1; done
    TAPEDECK_COM1=$out/deck "$root/usr/bin/deckctl" run --port 1 "connect; video-system; disconnect" \
        >"$out/run.log" 2>&1
    rc=$?
    kill "$deck" && wait "$deck"
    [ $rc -eq 0 ] && grep -q "connect *-> 1" "$out/run.log" ||
        { cat "$out/run.log" "$out/decksim.log"; fail "unpacked deckctl run against the unpacked decksim"; }
    grep -q "in C1 out 01 " "$out/decksim.log" || { cat "$out/decksim.log"; fail "decksim --video-system 4 did not answer as system 4"; }
    echo "unpacked decksim and deckctl run: ok"

    # The manual pages render, each naming its program and documenting --version.
    command -v man >/dev/null || fail "man is not installed (scripts/install-deps packaging)"
    for tool in deckctl decksim; do
        page=$(MANWIDTH=80 man -l "$root/usr/share/man/man1/$tool.1.gz" 2>"$out/man.err") ||
            { cat "$out/man.err"; fail "man -l $tool.1.gz"; }
        grep -q "^ *$tool - " <<<"$page" || fail "$tool(1) has no NAME line"
        grep -q -- "--version" <<<"$page" || fail "$tool(1) lacks the options"
    done
    echo "man pages: ok"

    # The newest Debian changelog entry is this version.
    zcat "$root/usr/share/doc/tapedeck5500/changelog.gz" >"$out/changelog" || fail "changelog.gz"
    v=$(dpkg-parsechangelog -l "$out/changelog" -S Version) || fail "dpkg-parsechangelog"
    [ "$v" = "$version" ] || fail "the Debian changelog's newest entry is $v, the package is $version"
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
    for f in x86/tapedeck5500.dll x64/tapedeck5500.dll README.txt LICENSE.txt; do
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
