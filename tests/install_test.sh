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
quiet hidden cmake -S "$project" -B "$project/build" -DCMAKE_PREFIX_PATH="$scratch/moved" \
    -DGREETER_I386=ON
quiet hidden cmake --build "$project/build"
zlib=$(hidden "$project/build/greeter") || fail "the example program does not run"
zlib=${zlib#*(}
expect_output "hello, you ($zlib" "$project/build/greeter-sfx" you
expect_output "hello, you ($zlib" "$project/build/greeter-plain" you
expect_output "hello, you ($zlib" "$project/build/greeter32-sfx" you
listing=$(hidden "$project/build/greeter-sfx" @list | awk '{print $2}' | tr '\n' ' ')
[ "$listing" = "greeter libgreet.so.1 libz.so.1 " ] || fail "greeter-sfx holds $listing"
ok "find_package(sfxlaunch) builds bundled, plain and i386 launchers"
sed -i 's/hello/goodbye/' "$project/greet.c"
quiet hidden cmake --build "$project/build"
expect_output "goodbye, you ($zlib" "$project/build/greeter-sfx" you
expect_output "goodbye, you ($zlib" "$project/build/greeter32-sfx" you
ok "a launcher is packed again when what it holds changes"

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
