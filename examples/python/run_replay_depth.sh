#!/usr/bin/env bash
# Run the Python replay example on a recording the simulator makes and check
# that it prints every frame of it.
#
#   run_replay_depth.sh PYTHON KAVRO_SIM EXAMPLE
set -euo pipefail
python=$1
sim=$2
example=$3
frames=4

dir=$(mktemp -d "${PWD}/pyreplay.XXXXXX")
trap 'rm -rf "$dir"' EXIT
"$sim" record --scene wall --frames "$frames" "$dir/rec.raw" >/dev/null
out=$(cd "$dir" && "$python" "$example" "$dir/rec.raw")
printf '%s\n' "$out"

printed=$(printf '%s\n' "$out" | grep -c '^frame [0-9]*: median [0-9.]* m, [0-9]* points$' || true)
if [[ "$printed" != "$frames" ]] || ! printf '%s\n' "$out" | grep -qx "frames: $frames"; then
    echo "expected $frames frames, printed $printed" >&2
    exit 1
fi
