#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs two
# consumers against the installed copy only: a C program through pkg-config
# and a CMake project through find_package(kavro).
set -euo pipefail
build_dir=$1 work=$2 src=$3
rm -rf "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libkavro.so' -printf '%h\n' | head -n1)

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror "$src/consumer.c" -o "$work/consumer_pc" \
   $(pkg-config --cflags --libs kavro)
(cd "$work" && LD_LIBRARY_PATH=$libdir ./consumer_pc)

cmake -S "$src/cmake_consumer" -B "$work/cmake_build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake_build" >/dev/null
(cd "$work" && LD_LIBRARY_PATH=$libdir "$work/cmake_build/consumer")
echo "install consumers ok"
