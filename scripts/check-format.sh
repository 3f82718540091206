#!/usr/bin/env bash
# Fails when a C or C++ source of the project is not as the repository's .clang-format lays it
# out; `clang-format -i FILE` fixes a file it names.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files -- '*.c' '*.cpp' '*.h' '*.hpp')
if ((${#sources[@]} == 0)); then
    echo "no sources found (is this a git checkout?)" >&2
    exit 1
fi
clang-format --dry-run -Werror "${sources[@]}"
echo "format: ${#sources[@]} sources as .clang-format lays them out"
