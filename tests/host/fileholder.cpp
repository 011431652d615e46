// Holds a file open the way a virus scanner does while it reads a new or replaced
// file: read access, sharing reading and writing but not deletion, so that the
// file can be neither renamed nor removed meanwhile.
//   fileholder PATH SECONDS READY_FILE
// READY_FILE is created once the file is held; the file is let go after SECONDS.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 4)
        return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE)
        CloseHandle(ready);
    Sleep(DWORD(std::wcstoul(argv[2], nullptr, 10)) * 1000);
    CloseHandle(held);
    return 0;
}
