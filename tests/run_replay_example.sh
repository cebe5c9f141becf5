#!/usr/bin/env bash
# Run a replay example on a recording made by the simulator and check that it
# prints every frame of the recording.
#
#   run_replay_example.sh KAVRO_SIM EXAMPLE FRAMES
set -euo pipefail
sim=$1
example=$2
frames=$3

dir=$(mktemp -d "${PWD}/replay.XXXXXX")
trap 'rm -rf "$dir"' EXIT

"$sim" record --scene wall --frames "$frames" "$dir/rec.raw" >/dev/null
out=$("$example" "$dir/rec.raw")
printf '%s\n' "$out"

printed=$(printf '%s\n' "$out" | grep -c '^frame [0-9]*: [0-9]* bytes$' || true)
summary=$(printf '%s\n' "$out" | sed -n 's/^frames: \([0-9]*\)$/\1/p')
if [[ "$printed" != "$frames" || "$summary" != "$frames" ]]; then
    echo "expected $frames frames, printed $printed, summary '${summary}'" >&2
    exit 1
fi
