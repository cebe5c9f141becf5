#!/usr/bin/env bash
# Installs the built project into a scratch prefix, then uses the installed
# copy only, with no LD_LIBRARY_PATH anywhere: the tools run as they are
# (`kavro --version`, `kavro-sim --help`, `kavro --sim info` through the
# simulator module), the tool does not link umockdev or GLib, and two
# consumers are built and run: a C program through pkg-config and a CMake
# project through find_package(kavro).
set -euo pipefail
build_dir=$1 work=$2 src=$3
rm -rf "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libkavro.so' -printf '%h\n' | head -n1)
unset LD_LIBRARY_PATH
fail() { echo "FAIL: $*" >&2; exit 1; }

# The version the header announces.
want=$(awk '/^#define KAVRO_VERSION_(MAJOR|MINOR|PATCH) /{printf "%s%s", sep, $3; sep="."}' \
       "$prefix/include/kavro/kavro.h")
out=$("$prefix/bin/kavro" --version) || fail "kavro --version exited $?"
[[ $out == "kavro $want (libkavro $want)" ]] || fail "kavro --version said '$out', expected version $want"

"$prefix/bin/kavro-sim" --help | grep -q "usage: kavro-sim" || fail "kavro-sim --help"

# The installed tool carries no umockdev or GLib dependency: the simulator
# is a module loaded only for --sim.
if readelf -d "$prefix/bin/kavro" | grep NEEDED | grep -Eiq 'umockdev|glib|gobject|gio'; then
  fail "kavro links: $(readelf -d "$prefix/bin/kavro" | grep NEEDED | tr -s ' ')"
fi
if ldd "$prefix/bin/kavro" | grep -Eiq 'umockdev|glib|gobject'; then
  fail "kavro loads umockdev or GLib: $(ldd "$prefix/bin/kavro")"
fi
if [[ -f $libdir/libkavro_simcam.so ]]; then
  out=$("$prefix/bin/kavro" --sim --cache-dir "$work/cache/" info) || fail "kavro --sim info exited $?"
  grep -q '^serial: ' <<<"$out" || fail "kavro --sim info printed no serial: $out"
  serial=$(awk '/^serial: /{print $2}' <<<"$out")
  out=$("$prefix/bin/kavro" --sim --cache-dir "$work/cache/" list) || fail "kavro --sim list exited $?"
  grep -q " $serial " <<<"$out" || fail "kavro --sim list does not show the serial $serial: $out"
  # Without the module, --sim says what is missing.
  mv "$libdir/libkavro_simcam.so" "$work/moved_simcam.so"
  if err=$("$prefix/bin/kavro" --sim --cache-dir "$work/cache/" info 2>&1); then
    fail "kavro --sim info worked without its module"
  fi
  mv "$work/moved_simcam.so" "$libdir/libkavro_simcam.so"
  grep -q 'libkavro_simcam.so is not installed' <<<"$err" || fail "no clear message without the module: $err"
else
  echo "simulator module not built (no umockdev): --sim not checked"
fi

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror "$src/consumer.c" -o "$work/consumer_pc" \
   $(pkg-config --cflags --libs kavro)
(cd "$work" && ./consumer_pc)

cmake -S "$src/cmake_consumer" -B "$work/cmake_build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake_build" >/dev/null
(cd "$work" && "$work/cmake_build/consumer")
echo "install consumers ok"
