#pragma once

#include <QChar>
#include <QString>
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

/// One UTF-16 unit as Windows compares names: upper-cased by the simple mapping,
/// unit by unit (a surrogate is never a letter to it), so "ß" stays "ß" and the
/// Kelvin sign stays apart from "k". Windows' own tables also leave "ı" and "ſ"
/// apart from "i" and "s"; this maps them to "I" and "S" all the same, as other
/// tables may (a file server's): two names that might be one file are better
/// taken for one than the other way round.
inline QChar windowsUpcase(QChar c)
{
    const ushort u = c.unicode();
    if (u < 0x80)
        return u >= 'a' && u <= 'z' ? QChar(ushort(u - 32)) : c;
    return c.toUpper();
}

/// name with every unit upper-cased as above: names are one to Windows exactly
/// when these are equal.
QString windowsUpcase(QString name);

/// True when Windows takes a and b for one name.
bool isSameWindowsName(const QStringRef &a, const QStringRef &b);
