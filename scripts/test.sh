#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite three times: a plain build with
# warnings as errors, an AddressSanitizer + UndefinedBehaviorSanitizer build (then
# the fuzz targets, scripts/fuzz.sh), and
# the Windows build (cross-compiled, run under Wine against the same Linux nginx
# and loopback test servers). A test
# program that fails is run once more (reported by ctest) so that one rare hang of a
# detached host start under the sanitizer does not hide the rest of the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
# Set-up may need the machine's proxy; the tests talk to loopback servers only, and
# the updaters they start would take the environment's proxy for them.
test_env=(env -u http_proxy -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY)

"$here/scripts/setup.sh" "$here/build" -DUPDATER_WERROR=ON
(cd "$here/build" && "${test_env[@]}" ctest --output-on-failure -j"$jobs" --repeat until-pass:2)

"$here/scripts/setup.sh" "$here/build-asan" -DUPDATER_WERROR=ON -DUPDATER_SANITIZE=ON
(cd "$here/build-asan" && "${test_env[@]}" ctest --output-on-failure -j"$jobs" --repeat until-pass:2)
# The parsers of what a server sends, each fuzzed for FUZZ_SECONDS (20 s).
"$here/scripts/fuzz.sh" "$here/build-fuzz"
# The shipped programs are signed with a throwaway certificate made for the run, as
# a publisher's would sign them, and the signatures are checked.
signing=$here/build-windows/signing
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Updater test signing" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$signing/key.pem" -out "$signing/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/cert.pem" -passout pass:throwaway \
    -out "$signing/sign.pfx"
WINDOWS_SIGN_PFX=$signing/sign.pfx WINDOWS_SIGN_PASSWORD=throwaway "$here/scripts/windows.sh" "$here/build-windows"
for program in deploy/updater.exe publisher/updater-publish.exe; do
    osslsigncode verify -CAfile "$signing/cert.pem" -in "$here/build-windows/$program" >/dev/null \
        || { echo "signature of $program does not verify" >&2; exit 1; }
done
[ ! -e "$here/build-windows/deploy/updater-publish.exe" ] || { echo "deploy/ holds the publisher's tool" >&2; exit 1; }
windows_tests() (
    cd "$here/build-windows/win"
    # Dialogs are offscreen; the display is for the console window that a test
    # opens the way a user's cmd.exe would. The first Windows GUI program under a
    # display has been seen to take minutes (Wine setting itself up); one start
    # before the tests keeps that out of their time-outs.
    export WINEPREFIX="$here/build-windows/wineprefix"
    toolchain="$here/build-windows/windows-toolchain"
    "${test_env[@]}" xvfb-run -a sh -c '
        sh "$0/tests/wine-test.sh" "$1/qt" "$1/openssl" tests/tst_cupdatenotice.exe -functions >/dev/null
        exec ctest --output-on-failure -j"$2" --repeat until-pass:2' "$here" "$toolchain" "$jobs"
)
status=0
windows_tests || status=$?
# A test program killed by its time-out can leave Wine or an nginx it started
# (a Linux process, outside Wine's reach) behind.
WINEPREFIX="$here/build-windows/wineprefix" wineserver -k 2>/dev/null || true
pkill -f "nginx.*$here/build-windows/wineprefix" 2>/dev/null || true
[ "$status" -eq 0 ] || exit "$status"
echo "All tests passed (plain, sanitizer and Windows builds)."
