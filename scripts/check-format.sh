#!/usr/bin/env bash
# Fails when a tracked C++ file is not as clang-format (the .clang-format at the root)
# would write it; lists those files.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
    mapfile -t files < <(find src tools tests bench fuzz -name '*.cpp' -o -name '*.h')
fi
if ! out=$(clang-format --dry-run -Werror "${files[@]}" 2>&1); then
    grep -oE '^[^:]+\.(cpp|h):' <<<"$out" | sort -u
    echo "run: clang-format -i on the files above"
    exit 1
fi
echo "format: ${#files[@]} files as clang-format writes them"
