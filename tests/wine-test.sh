#!/bin/sh
# Runs one test program of the Windows build under Wine for ctest:
#   wine-test.sh QT_DIR OPENSSL_DIR PROGRAM [arguments...]
# The programs find the Qt, OpenSSL, libcurl and nghttp2 DLLs (the last two beside
# Qt in the toolchain's folder) through WINEPATH, a Windows path on
# Wine's Z: drive (the Linux root), so that programs the tests start from other
# folders find them too. WINEPREFIX is the one scripts/windows.sh prepared.
# Qt Test's log to standard output does not reach a pipe under Wine, so a test
# program's log is written to a file and shown afterwards; the exit code is the
# program's.
qt=$1 openssl=$2 program=$3
shift 3
toolchain=$(dirname "$qt")
WINEPATH="Z:$qt/bin;Z:$openssl/bin;Z:$toolchain/curl/bin;Z:$toolchain/nghttp2/bin" WINEDEBUG=${WINEDEBUG:--all}
export WINEPATH WINEDEBUG
case $(basename "$program") in
tst_*) ;;
*) exec wine "$program" "$@" ;;
esac
log=$(mktemp)
# Ended before ctest's own time-out (300 s), so that the log of a hung program
# still shows how far it came.
timeout -k 5 270 wine "$program" -o "Z:$log,txt" "$@"
status=$?
cat "$log"
rm -f "$log"
exit $status
