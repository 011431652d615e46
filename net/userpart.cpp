#include "net/userpart.h"

QString withoutUserParts(const QString &text)
{
    // Qt writes a URL's user part with every "/" and all but the last "@" encoded,
    // yet with blanks decoded: the authority runs to the first "/" after "://".
    QString result = text;
    int from = 0;
    for (;;) {
        const int scheme = result.indexOf(QLatin1String("://"), from);
        if (scheme < 0)
            return result;
        const int start = scheme + 3;
        int end = result.indexOf(QLatin1Char('/'), start);
        if (end < 0)
            end = result.size();
        const int at = end > start ? result.lastIndexOf(QLatin1Char('@'), end - 1) : -1;
        if (at >= start)
            result.remove(start, at + 1 - start);
        from = start;
    }
}

QString addressWithoutUserPart(const QString &address)
{
    const int schemeEnd = address.indexOf(QLatin1String("://"));
    const int start = schemeEnd < 0 ? 0 : schemeEnd + 3;
    // The whole user part goes: a password typed by hand may hold any character,
    // even ":" or "/".
    const int at = address.lastIndexOf(QLatin1Char('@'));
    if (at >= start)
        return address.left(start) + address.mid(at + 1);
    // No "@" left, yet "name:rest" where a port should be is no host:port; it is
    // what remains of a user part once the rest of the line was cut off.
    int end = start;
    while (end < address.size() && !QStringLiteral("/?#").contains(address.at(end)))
        ++end;
    const QString authority = address.mid(start, end - start);
    const int colon = authority.indexOf(QLatin1Char(':'));
    if (colon < 0 || authority.startsWith(QLatin1Char('[')))
        return address;
    bool isPort = false;
    authority.midRef(colon + 1).toUInt(&isPort);
    return isPort || colon + 1 == authority.size() ? address : address.left(start) + address.mid(end);
}
