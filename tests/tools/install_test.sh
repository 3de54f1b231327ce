#!/usr/bin/env bash
# install_test.sh BUILD-DIR HOST-SOURCE-DIR CXX [SANITIZERS]
#
# Installs BUILD-DIR into a scratch prefix and checks that the package
# serves its users: the installed tool finds its library and schema and
# sets up a demo database, and a tiny host builds against the installed
# package with find_package and with pkg-config and reads that database.
set -euo pipefail
build=$1
host_source=$2
cxx=$3
# A library built with sanitizers needs hosts built with them too.
sanitize_flags=${4:+-fsanitize=$4}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || fail "cmake --install failed: $(cat "$scratch/install.log")"

for file in bin/zelvar include/zelvar/zelvar.h include/zelvar/kparam.h include/zelvar/ctool.h \
            share/zelvar/schema/sqlite.sql share/zelvar/schema/postgresql.sql; do
  [[ -e $prefix/$file ]] || fail "$file is not installed"
done
library=$(find "$prefix" -name 'libzelvar.so.1' | head -n 1)
[[ -n $library ]] || fail "libzelvar.so.1 is not installed"
libdir=$(dirname "$library")
[[ -e $libdir/libzelvar.so && -e $libdir/cmake/Zelvar/ZelvarConfig.cmake && -e $libdir/pkgconfig/zelvar.pc ]] ||
  fail "the development files are not next to the library in $libdir"

# The installed tool loads the installed library and uses the installed
# schema, wherever the prefix lies.
cd "$scratch"
init=$("$prefix/bin/zelvar" init --demo) || fail "the installed tool's init failed"
grep -q "from $prefix/share/zelvar/schema/sqlite.sql" <<<"$init" || fail "init did not use the installed schema: $init"
grep -q "Module:   $libdir/libzelvar.so.1 opens it" <<<"$init" || fail "init did not load the installed library: $init"
friends=$("$prefix/bin/zelvar" --json friends lina) || fail "the installed tool's friends failed"
expected=$(grep -m1 '"count"' <<<"$friends" | tr -dc '0-9')
[[ -n $expected && $expected -gt 0 ]] || fail "the installed tool lists no friends of lina"

db="Provider=SQLite;Data Source=$scratch/zelvar.db"

cmake -S "$host_source" -B "$scratch/host-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_RPATH="$libdir" -DCMAKE_CXX_FLAGS="$sanitize_flags" >"$scratch/host-cmake.log" 2>&1 || fail "find_package(Zelvar) failed: $(cat "$scratch/host-cmake.log")"
cmake --build "$scratch/host-cmake" >>"$scratch/host-cmake.log" 2>&1 || fail "the find_package host did not build: $(cat "$scratch/host-cmake.log")"
out=$("$scratch/host-cmake/tiny_host" "$db" lina) || fail "the find_package host failed"
[[ $out == "friends $expected" ]] || fail "the find_package host printed '$out', expected 'friends $expected'"

export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs zelvar) || fail "pkg-config does not know zelvar"
"$cxx" -std=c++20 $sanitize_flags "$host_source/tiny_host.cc" $flags -Wl,-rpath,"$libdir" -o "$scratch/tiny_host_pc" ||
  fail "the pkg-config host did not build with: $flags"
out=$("$scratch/tiny_host_pc" "$db" lina) || fail "the pkg-config host failed"
[[ $out == "friends $expected" ]] || fail "the pkg-config host printed '$out', expected 'friends $expected'"
echo "install test: package at $prefix serves the tool and both hosts (friends $expected)"
