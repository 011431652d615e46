#include "update/windowsnames.h"

#include <QLatin1String>

namespace {

// name against upper-case ASCII, as Windows compares them.
bool isUpcasedAs(const QStringRef &name, QLatin1String upper)
{
    if (name.size() != upper.size())
        return false;
    for (int i = 0; i < name.size(); ++i) {
        if (windowsUpcase(name.at(i)) != upper.at(i))
            return false;
    }
    return true;
}

// Windows opens a device for these names in any folder, whatever extension follows
// and with spaces before it: "nul.txt" and "nul .txt" are NUL. It takes 0 and the
// superscripts ¹²³ for port digits as well.
bool isDeviceName(const QStringRef &stem)
{
    if (stem.size() < 3 || stem.size() > 7)
        return false;
    static const char *const named[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *device : named) {
        if (isUpcasedAs(stem, QLatin1String(device)))
            return true;
    }
    if (stem.size() != 4
        || (!isUpcasedAs(stem.left(3), QLatin1String("COM")) && !isUpcasedAs(stem.left(3), QLatin1String("LPT"))))
        return false;
    const ushort digit = stem.at(3).unicode();
    return (digit >= '0' && digit <= '9') || digit == 0xb9 || digit == 0xb2 || digit == 0xb3;
}

// On volumes that keep 8.3 names (system volumes do, by default) Windows opens a
// file by its short alias as well: "UPDATE~1.INF" may be update_md5.info, and
// "DOWNLO~1" a cache folder configured as "downloads". Which long name an alias
// stands for depends on what the folder holds, so no check on the listed name can
// tell what such an entry would replace. Release files are hardly ever named like
// this, so the shape itself is refused: at most eight units, "~" and digits at
// their end, and at most one dot with at most three units after it.
bool hasShortNameShape(const QStringRef &name, int dot)
{
    const int stemEnd = dot < 0 ? name.size() : dot;
    if (stemEnd > 8 || (dot >= 0 && (name.size() - dot - 1 > 3 || name.indexOf(QLatin1Char('.'), dot + 1) >= 0)))
        return false;
    int digits = stemEnd;
    while (digits > 0 && name.at(digits - 1) >= QLatin1Char('0') && name.at(digits - 1) <= QLatin1Char('9'))
        --digits;
    return digits < stemEnd && digits > 0 && name.at(digits - 1) == QLatin1Char('~');
}

} // namespace

QString windowsUpcase(QString name)
{
    for (QChar &c : name)
        c = windowsUpcase(c);
    return name;
}

bool isSameWindowsName(const QStringRef &a, const QStringRef &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (windowsUpcase(a.at(i)) != windowsUpcase(b.at(i)))
            return false;
    }
    return true;
}

bool isWindowsReservedCharacter(QChar c)
{
    switch (c.unicode()) {
    case '<': case '>': case ':': case '"': case '|': case '?': case '*':
        return true;
    default:
        return false;
    }
}

WindowsNameFlaw windowsNameFlaw(const QStringRef &name)
{
    for (const QChar c : name) {
        if (c.unicode() < 0x20)
            return WindowsNameFlaw::ControlCharacter;
        if (isWindowsReservedCharacter(c))
            return WindowsNameFlaw::ReservedCharacter;
    }
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return WindowsNameFlaw::TrailingDotOrSpace;
    const int dot = name.indexOf(QLatin1Char('.'));
    if (isDeviceName(name.left(dot).trimmed()))
        return WindowsNameFlaw::DeviceName;
    if (hasShortNameShape(name, dot))
        return WindowsNameFlaw::ShortNameAlias;
    return WindowsNameFlaw::None;
}
