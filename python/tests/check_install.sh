#!/usr/bin/env bash
# The Python package installed the two ways users install it, each used with
# the build tree out of sight (no PYTHONPATH into it, no LD_LIBRARY_PATH):
#  1. pip install --no-build-isolation into a fresh virtual environment
#     (python3 -m venv --system-site-packages: Debian's numpy, setuptools),
#     the library taken from the build tree and copied into the package;
#  2. cmake --install into a scratch prefix, imported through the
#     site-packages folder the install printed.
# Each runs the README's Python example on a simulator recording.
#
#   check_install.sh PYTHON BUILD_DIR SOURCE_DIR WORK_DIR KAVRO_SIM
set -euo pipefail
python=$1 build=$2 src=$3 work=$4 sim=$5
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work/run"
unset PYTHONPATH LD_LIBRARY_PATH
export PYTHONDONTWRITEBYTECODE=1

frames=4
"$sim" record --scene wall --frames "$frames" "$work/rec.raw" >/dev/null

example() { # python: runs the README's example and checks what it printed
  local out printed
  out=$(cd "$work/run" && "$1" "$src/examples/python/replay_depth.py" "$work/rec.raw") \
    || fail "the example exited $? with $1"
  printed=$(grep -c '^frame [0-9]*: median [0-9.]* m, [0-9]* points$' <<<"$out" || true)
  [[ $printed == "$frames" ]] && grep -qx "frames: $frames" <<<"$out" \
    || fail "the example printed $printed frames with $1: $out"
}

where() { # python: the folder the package is imported from, and the library version
  (cd "$work/run" && "$1" -c 'import os, kavro; print(os.path.dirname(kavro.__file__), kavro.version())')
}

# ---- 1. pip into a fresh virtual environment --------------------------------
# A copy of the package's sources, so that the build leaves the source tree as it is.
mkdir -p "$work/src"
cp -r "$src/python/kavro" "$src/python/kavro_module.cpp" "$src/python/setup.py" "$src/python/pyproject.toml" \
      "$work/src/"
"$python" -m venv --system-site-packages "$work/venv"
KAVRO_LIBRARY_DIR=$build KAVRO_INCLUDE_DIR=$src/include \
  "$work/venv/bin/pip" install --no-build-isolation --no-index --quiet "$work/src" \
  || fail "pip install exited $?"
read -r dir version < <(where "$work/venv/bin/python")
[[ $dir == "$work/venv/lib/"*"/site-packages/kavro" ]] || fail "imported from $dir, not the environment"
[[ -f $dir/__init__.pyi && -f $dir/py.typed ]] || fail "no type stub in $dir"
want=$(awk '/^#define KAVRO_VERSION_(MAJOR|MINOR|PATCH) /{printf "%s%s", sep, $3; sep="."}' "$src/include/kavro.h")
[[ $version == "$want" ]] || fail "version $version, expected $want"
# The module loads the library copied beside it, not the build tree's.
loads=$(ldd "$dir"/_kavro*.so) || fail "ldd exited $?"
grep -q "libkavro.so.* => $dir/libkavro.so" <<<"$loads" || fail "the module does not load the package's library: $loads"
shown=$("$work/venv/bin/pip" show kavro) || fail "pip show kavro exited $?"
grep -qx "Version: $want" <<<"$shown" || fail "pip does not list kavro $want: $shown"
example "$work/venv/bin/python"

# ---- 2. cmake --install into a scratch prefix --------------------------------
out=$(cmake --install "$build" --prefix "$work/prefix") || fail "cmake --install exited $?"
path=$(sed -n 's/.*kavro Python package: .* (use PYTHONPATH=\(.*\))$/\1/p' <<<"$out")
[[ -n $path && -f $path/kavro/__init__.py ]] || fail "cmake --install printed no package folder: $out"
read -r dir version < <(PYTHONPATH=$path where "$python")
[[ $dir == "$path/kavro" && $version == "$want" ]] || fail "imported $dir ($version) with PYTHONPATH=$path"
[[ -f $dir/__init__.pyi && -f $dir/py.typed ]] || fail "no type stub in $dir"
PYTHONPATH=$path example "$python"
echo "python install ok"
