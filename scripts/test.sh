#!/usr/bin/env bash
# Sets up, builds and runs every test: the whole suite normally and under AddressSanitizer with
# UndefinedBehaviorSanitizer, and again under ThreadSanitizer (every binary has concurrent cases),
# then a short run of each fuzz target on its seeds. Unformatted C or C++ fails it first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/check-format.sh

started=$SECONDS
for preset in default asan tsan; do
    echo "== build: $preset"
    scripts/build.sh "$preset"
done

failed=0
for preset in default asan tsan; do
    echo "== tests: $preset"
    if ! ctest --preset "$preset"; then
        failed=1
    fi
done
scripts/fuzz.sh || failed=1
echo "== all test runs finished in $((SECONDS - started)) s"
exit $failed
