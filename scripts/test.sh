#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite twice: a plain build with warnings
# as errors, and an AddressSanitizer + UndefinedBehaviorSanitizer build. A test
# program that fails is run once more (reported by ctest) so that one rare hang of a
# detached host start under the sanitizer does not hide the rest of the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$here/scripts/setup.sh" "$here/build" -DUPDATER_WERROR=ON
(cd "$here/build" && ctest --output-on-failure -j"$jobs" --repeat until-pass:2)

"$here/scripts/setup.sh" "$here/build-asan" -DUPDATER_WERROR=ON -DUPDATER_SANITIZE=ON
(cd "$here/build-asan" && ctest --output-on-failure -j"$jobs" --repeat until-pass:2)
echo "All tests passed (plain and sanitizer builds)."
