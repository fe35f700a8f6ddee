#!/usr/bin/env bash
# Installs the library from build directory $1 into a temporary prefix and builds the
# host program in $2 against it twice: with CMake's find_package and with pkg-config.
set -euo pipefail
build="$1"
src="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

# CMake package.
cmake -S "$src" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/host" "$work"

# pkg-config.
libdir=$(dirname "$(find "$work/prefix" -name tqdatafile.pc)")
export PKG_CONFIG_PATH="$libdir"
g++ -std=c++20 -Wall -Werror "$src/host.cc" -o "$work/host-pc" $(pkg-config --cflags --libs tqdatafile) \
    -Wl,-rpath,"$(pkg-config --variable=libdir tqdatafile)"
"$work/host-pc" "$work"
echo "install_package: ok"
