#!/usr/bin/env bash
# The README shows some examples in full: each code block that follows a
# line "<!-- example: PATH -->" must equal the file PATH of the source tree,
# so the README never shows code the tests do not build or run.
#
#   check_readme_examples.sh SOURCE_DIR
set -euo pipefail
src=$1
readme=$src/README.md
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mapfile -t paths < <(sed -n 's/^<!-- example: \(.*\) -->$/\1/p' "$readme")
if [[ ${#paths[@]} -eq 0 ]]; then
    echo "no example blocks in $readme" >&2
    exit 1
fi
status=0
for path in "${paths[@]}"; do
    # The lines between the fence after the marker and the closing fence.
    awk -v want="<!-- example: $path -->" '
        $0 == want { state = 1; next }
        state == 1 && /^```/ { state = 2; next }
        state == 2 && /^```$/ { exit }
        state == 2 { print }
    ' "$readme" > "$tmp/block"
    if ! diff -u "$src/$path" "$tmp/block" > "$tmp/diff"; then
        echo "README block for $path differs from the file:" >&2
        cat "$tmp/diff" >&2
        status=1
    fi
done
exit $status
