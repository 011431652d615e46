#!/usr/bin/env bash
# Builds the Windows programs here on Linux, with the mingw-w64 cross toolchain of
# ../shared/windows (Qt 5.15, OpenSSL 3 and zstd built for 64-bit Windows), and
# prepares Wine to run them:
#   scripts/windows.sh BUILD_DIR
# BUILD_DIR/win        the build: updater.exe, updater-publish.exe, every test program
#                      (warnings are errors), runnable with ctest under Wine
# BUILD_DIR/deploy     what a publisher ships in the host's folder: updater.exe with
#                      the DLLs and plugins it loads, and nothing else
# BUILD_DIR/publisher  updater-publish.exe with its DLLs, for the publisher's machine
# BUILD_DIR/wineprefix the Wine prefix the tests run in
# With WINDOWS_SIGN_PFX (a PKCS#12 file with a code-signing certificate and its key;
# its password in WINDOWS_SIGN_PASSWORD) both programs in deploy/ and publisher/ are
# signed (Authenticode, with osslsigncode), with a timestamp from the server that
# WINDOWS_SIGN_TIMESTAMP names if it is set.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:?usage: scripts/windows.sh BUILD_DIR}")
archive=${UPDATER_WINDOWS_TOOLCHAIN:-$here/../shared/windows/windows-toolchain.tar.xz}

packages=(
    cmake ninja-build
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64                   # runs the programs and their tests
    xvfb xauth                    # a display, without which Wine makes no console window
    locales                       # zh_CN.UTF-8: Wine then uses the Chinese code page 936
    nginx-light minisign openssl  # the Linux tools the tests start through Wine
    zstd
    osslsigncode                  # Authenticode signatures of the shipped programs
    fonts-wqy-microhei            # the CJK font of the offscreen platform
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
    $sudo localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi

# The toolchain is unpacked into the build folder, never into the repository, and
# again whenever the archive is newer than the unpacked copy.
mkdir -p "$build"
toolchain=$build/windows-toolchain
if [ ! -f "$toolchain/.unpacked" ] || [ "$archive" -nt "$toolchain/.unpacked" ]; then
    rm -rf "$toolchain"
    tar xJf "$archive" -C "$build"
    touch "$toolchain/.unpacked"
fi

cmake -S "$here" -B "$build/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain/toolchain.cmake" -DUPDATER_WERROR=ON >/dev/null
cmake --build "$build/win"

# collect_dlls FOLDER DLL_DIR...: copies into FOLDER every DLL that its programs
# and plugins import, found from their import tables, and what those import.
collect_dlls() {
    local folder=$1 file dll dir
    shift
    local pending=("$folder"/*.exe "$folder"/*.dll "$folder"/*/*.dll)
    while [ ${#pending[@]} -gt 0 ]; do
        file=${pending[0]}
        pending=("${pending[@]:1}")
        [ -f "$file" ] || continue
        for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
            [ -e "$folder/$dll" ] && continue
            for dir in "$@"; do
                if [ -f "$dir/$dll" ]; then
                    cp "$dir/$dll" "$folder/"
                    pending+=("$folder/$dll")
                    break
                fi
            done
        done
    done
}

# sign_program EXE: signs it in place when WINDOWS_SIGN_PFX names a certificate.
sign_program() {
    [ -n "${WINDOWS_SIGN_PFX:-}" ] || return 0
    local timestamp=()
    [ -z "${WINDOWS_SIGN_TIMESTAMP:-}" ] || timestamp=(-ts "$WINDOWS_SIGN_TIMESTAMP")
    osslsigncode sign -pkcs12 "$WINDOWS_SIGN_PFX" -pass "${WINDOWS_SIGN_PASSWORD:-}" \
        -n "Updater" -h sha256 "${timestamp[@]}" -in "$1" -out "$1.signed" >/dev/null
    mv "$1.signed" "$1"
}

# The deployable folder holds what windeployqt would collect for the updater alone:
# every DLL that it and its plugins import, plus what Qt loads by name at run time
# (the platform plugin, the .ico reader for the window icon, the native style).
# OpenSSL's libssl, for HTTPS, is an import of this Qt's Qt5Network (OpenSSL linked
# in); it is named too, for a Qt that loads it at run time. HTTPS goes through
# libcurl.dll, which brings libnghttp2.dll. The publisher's tool has
# no place in a user's installation: it gets a folder of its own.
dll_dirs=("$toolchain/qt/bin" "$toolchain/openssl/bin" "$toolchain/zstd/bin" "$toolchain/curl/bin"
          "$toolchain/nghttp2/bin")
deploy=$build/deploy
rm -rf "$deploy"
mkdir -p "$deploy/platforms" "$deploy/imageformats" "$deploy/styles"
cp "$build/win/updater.exe" "$deploy/"
cp "$toolchain/qt/plugins/platforms/qwindows.dll" "$deploy/platforms/"
cp "$toolchain/qt/plugins/imageformats/qico.dll" "$deploy/imageformats/"
cp "$toolchain/qt/plugins/styles/qwindowsvistastyle.dll" "$deploy/styles/"
cp "$toolchain/openssl/bin/libssl-3-x64.dll" "$deploy/"
collect_dlls "$deploy" "${dll_dirs[@]}"
publisher=$build/publisher
rm -rf "$publisher"
mkdir -p "$publisher"
cp "$build/win/updater-publish.exe" "$publisher/"
collect_dlls "$publisher" "${dll_dirs[@]}"
sign_program "$deploy/updater.exe"
sign_program "$publisher/updater-publish.exe"

# A Wine prefix of the build's own. Wine does not pass QT_* variables from Linux to
# Windows programs, so the offscreen platform and the plugin folder of the tests
# are set in the prefix's user environment, which every program in it inherits.
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/.configured" ]; then
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1
    wine reg add 'HKCU\Environment' /v QT_PLUGIN_PATH /d "Z:$toolchain/qt/plugins" /f >/dev/null 2>&1
    # The offscreen platform reads fonts from one folder: the CJK font the Linux
    # tests use too, so texts are measured alike.
    wine reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /d "Z:/usr/share/fonts/truetype/wqy" /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.configured"
fi
echo "Built $build/win; deployable folder $deploy ($(du -sh "$deploy" | cut -f1)), publisher's tool in $publisher"
