#!/usr/bin/env bash
# Fails when a C++ source is not formatted with the repository's .clang-format, and
# when the check cannot run (no clang-format, no sources found): a check that did not
# look must not pass.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null; then
    echo "format check cannot run: clang-format is missing (install the Debian package clang-format," \
        "or run scripts/install-deps.sh as root)" >&2
    exit 1
fi

# In a git checkout, the files git knows of or would take (tracked, and untracked but
# not ignored); in a copy without git, every source outside the build and hidden
# directories.
if command -v git >/dev/null && git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
else
    mapfile -t files < <(find . \( -path './build*' -o -path './out' -o -name '.*' ! -name . \) -prune -o \
        -type f \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | LC_ALL=C sort)
fi
if [ ${#files[@]} -eq 0 ]; then
    echo "format check cannot run: no C++ sources found in $PWD" >&2
    exit 1
fi
clang-format --dry-run -Werror "${files[@]}"
echo "format ok (${#files[@]} files)"
