#!/bin/sh
# The installed sfxlaunch, away from this tree: `cmake --install` into a
# prefix that is then moved, the example CMake project built against that
# package, and the Debian package unpacked into a scratch root. Each one packs
# and runs launchers for both targets in a private mount namespace where the
# build and source trees are empty, so nothing can come from them.
# usage: install_test.sh BUILD_DIR SOURCE_DIR VERSION
set -eu
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
version=$3
scratch=$(mktemp -d /tmp/sfxinstall-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# Streams kept by these packs stay in the scratch directory.
export SFXPACK_CACHE="$scratch/cache"
passed=0

fail() {
    echo "FAILED: $*" >&2
    echo "$passed passed, 1 failed"
    exit 1
}
ok() {
    passed=$((passed + 1))
    echo "ok: $*"
}
# Runs a command, showing its output only when it fails.
quiet() {
    "$@" >"$scratch/log" 2>&1 || { cat "$scratch/log" >&2; fail "$*"; }
}
# Runs a command with the build and source trees hidden under empty
# directories (the build tree first: it may lie inside the source tree).
hidden() {
    unshare -m sh -c 'mount --bind "$1" "$2" && mount --bind "$1" "$3" && shift 3 && exec "$@"' \
        sh "$scratch/empty" "$build" "$source" "$@"
}
expect_output() {
    expected=$1
    shift
    out=$(hidden env TEMP="$scratch" "$@" 2>&1) || fail "$* exited with $?: $out"
    [ "$out" = "$expected" ] || fail "$* printed '$out', not '$expected'"
}

mkdir "$scratch/empty" "$scratch/fixtures"
for target in x86_64 i386; do
    cp -a "$build/tests/fixtures/$target/bundle" "$scratch/fixtures/$target"
done

# Bundles the chain fixture with the given sfxpack and runs it, both targets.
packs_and_runs() {
    sfxpack=$1
    for target in x86_64 i386; do
        launcher="$scratch/chain-$target"
        rm -f "$launcher"
        quiet hidden env LD_LIBRARY_PATH="$scratch/fixtures/$target" \
            "$sfxpack" --bundle --target "$target" -o "$launcher" "$scratch/fixtures/$target/chain"
        expect_output "chain 13
arg $target" "$launcher" "$target"
        quiet "$build/tests/glibc_floor_check" "$target" "$launcher"
    done
}

# 1. The install tree, moved after installing.
quiet cmake --install "$build" --prefix "$scratch/prefix"
for file in bin/sfxpack lib/sfxlaunch/x86_64/libsfxlaunch.a lib/sfxlaunch/i386/libsfxlaunch.a \
    lib/cmake/sfxlaunch/sfxlaunchConfig.cmake lib/cmake/sfxlaunch/sfxlaunchConfigVersion.cmake \
    share/man/man1/sfxpack.1; do
    [ -f "$scratch/prefix/$file" ] || fail "cmake --install did not install $file"
done
ok "cmake --install installs the tool, both runtimes, the CMake package and the man page"
mv "$scratch/prefix" "$scratch/moved"
packs_and_runs "$scratch/moved/bin/sfxpack"
ok "the moved install tree packs and runs launchers for both targets"

# 2. The example project, built against the installed package.
cp -r "$source/examples/greeter" "$scratch/greeter"
project="$scratch/greeter"
# The cache named at configure time is the one the builds use, whatever
# their own environment says.
quiet hidden env SFXPACK_CACHE="$scratch/cache" \
    cmake -S "$project" -B "$project/build" -DCMAKE_PREFIX_PATH="$scratch/moved" -DGREETER_I386=ON
build_greeter() {
    quiet hidden env -u SFXPACK_CACHE HOME="$scratch/home" cmake --build "$project/build"
}
cached_streams() {
    find "$scratch/cache" -name '*.lzma' 2>/dev/null | sort
}
build_greeter
zlib=$(hidden "$project/build/greeter") || fail "the example program does not run"
zlib=${zlib#*(}
expect_output "hello, you ($zlib" "$project/build/greeter-sfx" you
expect_output "hello, you ($zlib" "$project/build/greeter-plain" you
expect_output "hello, you ($zlib" "$project/build/greeter32-sfx" you
listing=$(hidden "$project/build/greeter-sfx" @list | awk '{print $2}' | tr '\n' ' ')
[ "$listing" = "greeter libgreet.so.1 libz.so.1 " ] || fail "greeter-sfx holds $listing"
ok "find_package(sfxlaunch) builds bundled, plain and i386 launchers"
quiet "$build/tests/glibc_floor_check" x86_64 "$project/build/greeter-sfx"
quiet "$build/tests/glibc_floor_check" i386 "$project/build/greeter32-sfx"
ok "their launchers need no glibc symbol version above the floor"
sed -i 's/hello/goodbye/' "$project/greet.c"
quiet hidden cmake --build "$project/build"
expect_output "goodbye, you ($zlib" "$project/build/greeter-sfx" you
expect_output "goodbye, you ($zlib" "$project/build/greeter32-sfx" you
ok "a launcher is packed again when what it holds changes"
quiet hidden cmake -S "$project" -B "$project/build" -DGREETER_MAX_GLIBC=2.31
if hidden cmake --build "$project/build" >"$scratch/log" 2>&1; then
    fail "MAX_GLIBC 2.31 packed a greeter built on glibc 2.34 or newer"
fi
grep -q "max-glibc 2.31, but greeter needs glibc 2\.[0-9]* (.*@GLIBC_2\." "$scratch/log" ||
    fail "MAX_GLIBC 2.31 failed without naming greeter: $(cat "$scratch/log")"
[ ! -e "$project/build/greeter-checked" ] || fail "MAX_GLIBC 2.31 left greeter-checked"
quiet hidden cmake -S "$project" -B "$project/build" -DGREETER_MAX_GLIBC=9.0
quiet hidden cmake --build "$project/build"
expect_output "goodbye, you ($zlib" "$project/build/greeter-checked" you
ok "MAX_GLIBC refuses a program that needs a newer glibc, and passes one that does not"

# Only the program changes: its launchers are packed again and every library
# comes from the cache. (The cache exists once sfxpack has one.)
if "$scratch/moved/bin/sfxpack" --help | grep -q -- --no-cache; then
    cached_streams >"$scratch/before"
    [ -s "$scratch/before" ] || fail "nothing was kept in the cache $scratch/cache"
    [ ! -e "$scratch/home/.cache/sfxpack" ] || fail "the build used \$HOME's cache"
    sed -i 's/"world"/"everyone"/' "$project/main.c"
    build_greeter
    expect_output "goodbye, everyone ($zlib" "$project/build/greeter-sfx"
    expect_output "goodbye, everyone ($zlib" "$project/build/greeter32-sfx"
    cached_streams >"$scratch/after"
    [ -z "$(comm -23 "$scratch/before" "$scratch/after")" ] || fail "cached streams were lost"
    # One new stream per packed program (greeter-sfx may pack a patched
    # copy), none for the six libraries.
    new=$(comm -13 "$scratch/before" "$scratch/after" | wc -l)
    [ "$new" -ge 2 ] && [ "$new" -le 3 ] || fail "$new new streams after a change of the program alone"
    ok "after a change of the program alone only the program is compressed again"
fi

# LEVEL reaches sfxpack; a level out of range stops the configuration.
level="$scratch/level"
mkdir "$level"
cp "$source/examples/greeter/main.c" "$source/examples/greeter/greet.c" "$level/"
cat >"$level/CMakeLists.txt" <<'EOF_CMAKE'
cmake_minimum_required(VERSION 3.18)
project(level LANGUAGES C)
find_package(sfxlaunch 13 REQUIRED)
add_library(greet SHARED greet.c)
target_link_libraries(greet PRIVATE z)
add_executable(greeter main.c)
target_link_libraries(greeter PRIVATE greet)
set_target_properties(greeter PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "\$ORIGIN")
sfxlaunch_add_launcher(NAME greeter-fast PROGRAM greeter BUNDLE LEVEL ${LEVEL}
  CACHE_DIR cache-here)
sfxlaunch_add_launcher(NAME greeter-libc PROGRAM greeter BUNDLE LIBC)
sfxlaunch_add_launcher(NAME greeter-static PROGRAM greeter BUNDLE STATIC_RUNTIME)
EOF_CMAKE
quiet hidden cmake -S "$level" -B "$level/build" -DCMAKE_PREFIX_PATH="$scratch/moved" -DLEVEL=1
grep -rq -e '--level 1 ' "$level/build/CMakeFiles" || fail "LEVEL 1 does not reach sfxpack"
grep -rq -e "SFXPACK_CACHE=$level/build/cache-here " "$level/build/CMakeFiles" ||
    fail "CACHE_DIR does not reach sfxpack"
if "$scratch/moved/bin/sfxpack" --help | grep -q -- --level; then
    quiet hidden cmake --build "$level/build"
    expect_output "hello, world ($zlib" "$level/build/greeter-fast"
    expect_output "hello, world ($zlib" "$level/build/greeter-libc"
    "$scratch/moved/bin/sfxpack" --inspect "$level/build/greeter-libc" | grep -q "libc.so.6" ||
        fail "LIBC does not reach sfxpack"
    expect_output "hello, world ($zlib" "$level/build/greeter-static"
    if readelf -lW "$level/build/greeter-static" | grep -q INTERP; then
        fail "STATIC_RUNTIME does not reach sfxpack: greeter-static has a PT_INTERP"
    fi
fi
if hidden cmake -S "$level" -B "$level/build10" -DCMAKE_PREFIX_PATH="$scratch/moved" -DLEVEL=10 \
    >"$scratch/log" 2>&1; then
    fail "LEVEL 10 was accepted"
fi
grep -q "LEVEL is 0 to 9, not 10" "$scratch/log" || fail "LEVEL 10: $(cat "$scratch/log")"
ok "sfxlaunch_add_launcher passes LEVEL, CACHE_DIR, LIBC and STATIC_RUNTIME to sfxpack and refuses a wrong LEVEL"

# 3. The Debian package.
(cd "$build" && quiet cpack -G DEB -B "$scratch/deb")
deb="$scratch/deb/sfxlaunch_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb: $(ls "$scratch/deb")"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in "gcc | c-compiler" binutils libc6-dev patchelf libelf1 libc6; do
    case ", $depends," in
        *", $needed"[,\ ]*) ;;
        *) fail "the package does not depend on $needed: $depends" ;;
    esac
done
quiet apt-get install --simulate --no-install-recommends "$deb"
grep -q '^Inst sfxlaunch ' "$scratch/log" || fail "apt-get would not install $deb"
ok "make package gives $(basename "$deb"), installable with its dependencies"
dpkg-deb -x "$deb" "$scratch/root"
[ -f "$scratch/root/usr/share/man/man1/sfxpack.1" ] || fail "the package has no man page"
[ -f "$scratch/root/usr/lib/cmake/sfxlaunch/sfxlaunchConfig.cmake" ] ||
    fail "the package has no CMake package"
packs_and_runs "$scratch/root/usr/bin/sfxpack"
ok "the unpacked Debian package packs and runs launchers for both targets"

echo "$passed passed, 0 failed"
