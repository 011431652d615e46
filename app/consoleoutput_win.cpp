#include "app/consoleoutput.h"

#include <QString>

#include <windows.h>

namespace {

// The console to write to: the standard output handle when it is a console, else
// the console of the program that started us (cmd.exe, PowerShell), attached once.
// A pipe or a file is the caller's stream and is left to standard output.
HANDLE consoleHandle()
{
    static HANDLE console = [] {
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        if (output != nullptr && output != INVALID_HANDLE_VALUE)
            return GetFileType(output) == FILE_TYPE_CHAR ? output : INVALID_HANDLE_VALUE;
        if (!AttachConsole(ATTACH_PARENT_PROCESS))
            return INVALID_HANDLE_VALUE;
        return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    }();
    return console;
}

} // namespace

bool writeToConsole(const QByteArray &utf8)
{
    const HANDLE console = consoleHandle();
    if (console == INVALID_HANDLE_VALUE)
        return false;
    // As UTF-16, so the Chinese of a message shows whatever the console's code page.
    const QString text = QString::fromUtf8(utf8);
    DWORD written = 0;
    return WriteConsoleW(console, text.utf16(), DWORD(text.size()), &written, nullptr) != 0;
}
