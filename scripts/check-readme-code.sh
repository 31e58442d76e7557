#!/usr/bin/env bash
# Fails when a code block of README.md differs from the file it shows. Such a block
# follows a line "<!-- code: PATH -->" and is the whole file PATH, word for word.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t paths < <(sed -n 's/^<!-- code: \(.*\) -->$/\1/p' README.md)
if [ ${#paths[@]} -eq 0 ]; then
    echo "README.md marks no code block (<!-- code: PATH -->)" >&2
    exit 1
fi
status=0
for path in "${paths[@]}"; do
    # The lines between the fence that follows the marker and the fence that closes it.
    block=$(awk -v marker="<!-- code: $path -->" '
        $0 == marker { found = 1; next }
        found == 1 && /^```/ { found = 2; next }
        found == 2 && /^```/ { exit }
        found == 2 { print }' README.md)
    if [ ! -f "$path" ]; then
        echo "README.md shows $path, which does not exist" >&2
        status=1
    elif ! diff -u --label "$path" --label "README.md" "$path" <(printf '%s\n' "$block"); then
        echo "README.md's code block differs from $path: copy the file into it" >&2
        status=1
    fi
done
[ $status -eq 0 ] && echo "README code ok (${#paths[@]} blocks)"
exit $status
