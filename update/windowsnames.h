#pragma once

#include <QChar>
#include <QStringRef>

/// What makes one path component a name that Windows cannot hold, or reads as
/// something other than a file of that name.
enum class WindowsNameFlaw {
    None,
    ControlCharacter,   ///< below U+0020
    ReservedCharacter,  ///< one of <>:"|?*
    TrailingDotOrSpace, ///< dropped by Windows: "a.txt." opens "a.txt"
    DeviceName,         ///< CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9, with any extension
    ShortNameAlias,     ///< shaped like an 8.3 alias ("UPDATE~1.INF") of some other, long name
};

/// The first flaw of name, looked at in the order of the enumeration (a character
/// flaw is the one of the first offending character).
WindowsNameFlaw windowsNameFlaw(const QStringRef &name);

/// True for the printable characters that no Windows name may contain: <>:"|?*
bool isWindowsReservedCharacter(QChar c);
