#!/bin/bash
# Fails, naming each file, when a tracked C or C++ file differs from .clang-format.
# Fix with: clang-format -i FILE
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

status=0
while IFS= read -r -d '' file; do
    if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
        echo "not formatted: $file (clang-format -i $file)" >&2
        status=1
    fi
done < <(git ls-files -z '*.c' '*.cpp' '*.h')
exit $status
