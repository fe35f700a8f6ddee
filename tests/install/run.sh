#!/usr/bin/env bash
# The installed package, as a packager and a host see it.  Installs the library from
# build directory $1 into a temporary prefix and checks:
#   - the components (runtime, development, tool) hold their own files;
#   - the pkg-config file: plain absolute paths, no language standard in Cflags;
#   - the CMake version file: this minor version only (before 1.0);
#   - the host program of this directory ($2) and the examples ($3) build through
#     find_package and through pkg-config (the host as C++17 and C++23, one example as
#     C++23), and run.
# $4 is the package's MAJOR.MINOR version.
set -euo pipefail
build="$1"
src="$2"
examples="$3"
version="$4"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install_package: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

# Components.
for component in runtime development tool; do
  cmake --install "$build" --prefix "$work/$component" --component "$component" >/dev/null
done
files() { (cd "$work/$1" && find . -type f -o -type l | sort); }
files runtime | grep -q 'libtqdatafile\.so\.0' || fail "runtime lacks the shared library"
files runtime | grep -qv 'libtqdatafile\.so\.' && fail "runtime holds more than the shared library: $(files runtime)"
files development | grep -q 'include/tqdatafile/tq\.h' || fail "development lacks the headers"
files development | grep -q 'libtqdatafile\.so$' || fail "development lacks the link-time library link"
files development | grep -q 'tqdatafileConfigVersion\.cmake' || fail "development lacks the CMake package"
files development | grep -q 'pkgconfig/tqdatafile\.pc' || fail "development lacks the .pc file"
files development | grep -qE 'bin/|\.so\.0' && fail "development holds the runtime or the tool"
[ "$(files tool)" = "./bin/tqsort" ] || fail "tool holds: $(files tool)"

# pkg-config.
pcdir=$(dirname "$(find "$prefix" -name tqdatafile.pc)")
export PKG_CONFIG_PATH="$pcdir"
flags=$(pkg-config --cflags --libs tqdatafile)
case "$flags" in
  *..* | *//* | *-std=*) fail "pkg-config gives '$flags'" ;;
esac
libdir=$(pkg-config --variable=libdir tqdatafile)
[ -e "$libdir/libtqdatafile.so" ] || fail "pkg-config's libdir $libdir has no library"

# The CMake version check: a host asking for the next minor version is refused.
major=${version%%.*}
minor=${version#*.}
mkdir -p "$work/version"
cat > "$work/version/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.22)
project(version_check LANGUAGES CXX)
find_package(tqdatafile $major.$((minor + 1)) QUIET)
if(tqdatafile_FOUND)
  message(FATAL_ERROR "version $version was taken for $major.$((minor + 1))")
endif()
find_package(tqdatafile $version REQUIRED)
CMAKE
cmake -S "$work/version" -B "$work/version/b" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null ||
  fail "the version check"

# CMake package: the host and the examples.
for dir in "$src" "$examples"; do
  name=$(basename "$dir")
  cmake -S "$dir" -B "$work/cmake-$name" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/cmake-$name" >/dev/null
done
"$work/cmake-$(basename "$src")/host" "$work"
bin="$work/cmake-$(basename "$examples")"
"$bin/unsorted_store" 20000 "$work"
"$bin/big_sort" 100000 "$work" 2>/dev/null
"$bin/big_sort_raw" 100000 "$work" 2>/dev/null
"$bin/phonebook" > "$work/names"
printf '%s\n' Ähre Ahre Moeller Möller Mueller Müller Muller Zoë zoo | cmp - "$work/names" ||
  fail "phonebook order: $(cat "$work/names")"

# pkg-config: the host as C++17 and C++23, the examples as C++20 and one as C++23.
cc() { g++ -Wall -Wextra -Wpedantic -Werror "$@" $(pkg-config --cflags --libs tqdatafile) -Wl,-rpath,"$libdir"; }
cc -std=c++17 "$src/host.cc" -o "$work/host17"
cc -std=c++23 "$src/host.cc" -o "$work/host23"
cc -std=c++23 "$examples/big_sort.cc" -o "$work/big_sort23"
cc -std=c++20 "$examples/unsorted_store.cc" -o "$work/unsorted_store"
"$work/host17" "$work"
"$work/host23" "$work"
"$work/big_sort23" 100000 "$work" 2>/dev/null
"$work/unsorted_store" 20000 "$work"
echo "install_package: ok"
