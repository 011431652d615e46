#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite twice: a plain build with warnings
# as errors, and an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$here/scripts/setup.sh" "$here/build" -DUPDATER_WERROR=ON
(cd "$here/build" && ctest --output-on-failure -j"$jobs")

"$here/scripts/setup.sh" "$here/build-asan" -DUPDATER_WERROR=ON -DUPDATER_SANITIZE=ON
(cd "$here/build-asan" && ctest --output-on-failure -j"$jobs")
echo "All tests passed (plain and sanitizer builds)."
