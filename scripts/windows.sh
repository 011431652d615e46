#!/usr/bin/env bash
# Builds the Windows programs here on Linux, with the mingw-w64 cross toolchain of
# ../shared/windows (Qt 5.15, OpenSSL 3 and zstd built for 64-bit Windows), and
# prepares Wine to run them:
#   scripts/windows.sh BUILD_DIR
# BUILD_DIR/win        the build: updater.exe, updater-publish.exe, every test program
#                      (warnings are errors), runnable with ctest under Wine
# BUILD_DIR/deploy     what a publisher ships in the host's folder: the two programs
#                      with the DLLs and plugins they load
# BUILD_DIR/wineprefix the Wine prefix the tests run in
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

# The deployable folder holds what windeployqt would collect: every DLL that the
# programs and the plugins import, found from their import tables, plus what Qt
# loads by name at run time (the platform plugin, the .ico reader for the window
# icon, the native style). OpenSSL's libssl, for HTTPS, is an import of this Qt's
# Qt5Network (OpenSSL linked in); it is named too, for a Qt that loads it at run time.
deploy=$build/deploy
rm -rf "$deploy"
mkdir -p "$deploy/platforms" "$deploy/imageformats" "$deploy/styles"
cp "$build/win/updater.exe" "$build/win/updater-publish.exe" "$deploy/"
cp "$toolchain/qt/plugins/platforms/qwindows.dll" "$deploy/platforms/"
cp "$toolchain/qt/plugins/imageformats/qico.dll" "$deploy/imageformats/"
cp "$toolchain/qt/plugins/styles/qwindowsvistastyle.dll" "$deploy/styles/"
cp "$toolchain/openssl/bin/libssl-3-x64.dll" "$deploy/"
dll_dirs=("$toolchain/qt/bin" "$toolchain/openssl/bin" "$toolchain/zstd/bin")
pending=("$deploy"/*.exe "$deploy"/*/*.dll "$deploy/libssl-3-x64.dll")
while [ ${#pending[@]} -gt 0 ]; do
    file=${pending[0]}
    pending=("${pending[@]:1}")
    for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
        [ -e "$deploy/$dll" ] && continue
        for dir in "${dll_dirs[@]}"; do
            if [ -f "$dir/$dll" ]; then
                cp "$dir/$dll" "$deploy/"
                pending+=("$deploy/$dll")
                break
            fi
        done
    done
done

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
echo "Built $build/win; deployable folder $deploy ($(du -sh "$deploy" | cut -f1))"
