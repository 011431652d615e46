#include "update/inivalues.h"

#include <QMap>
#include <QStringList>

// The rules below are those of QSettings' INI reader in Qt 5.15, quirks included:
// a publisher's descriptor has to mean the same whichever of the two reads it.
// Typed values alone are read otherwise (see textValue).

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity KeyCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity KeyCase = Qt::CaseSensitive;
#endif

QString comparedKey(const QString &key)
{
    return KeyCase == Qt::CaseSensitive ? key : key.toLower();
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/// Finds the next logical line from pos on: its start, its length and the
/// position of its first unquoted "=" (-1 if none). False at the end of text.
bool nextLine(const QByteArray &text, int &pos, int &start, int &length, int &equals)
{
    const int size = text.size();
    bool inQuotes = false;
    equals = -1;
    start = pos;
    while (start < size && isBlank(text.at(start)))
        ++start;
    int i = start;
    while (i < size) {
        const char c = text.at(i++);
        if (c == '=') {
            if (!inQuotes && equals == -1)
                equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == start + 1)
                ++start;
            else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char escaped = text.at(i++);
                if (i < size) {
                    const char next = text.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == ';') {
            if (i == start + 1) {
                while (i < size && text.at(i) != '\n' && text.at(i) != '\r')
                    ++i;
                while (i < size && isBlank(text.at(i)))
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    length = i - start;
    return length > 0;
}

/// A group or key name: "\" stands for "/", %XX and %UXXXX for characters.
QString unescapedName(const QByteArray &text, int from, int to)
{
    QString name;
    int i = from;
    while (i < to) {
        const char c = text.at(i);
        if (c == '\\') {
            name += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c != '%' || i == to - 1) {
            name += QLatin1Char(c);
            ++i;
            continue;
        }
        int first = i + 1;
        int digits = 2;
        if (text.at(first) == 'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const int code = first + digits <= to ? text.mid(first, digits).toInt(&ok, 16) : 0;
        if (!ok) {
            name += QLatin1Char('%');
            ++i;
            continue;
        }
        name += QChar(ushort(code));
        i = first + digits;
    }
    return name;
}

void chopBlanks(QString &text, int limit)
{
    int n = text.size();
    while (n > limit && (text.at(n - 1) == QLatin1Char(' ') || text.at(n - 1) == QLatin1Char('\t')))
        --n;
    text.truncate(n);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/// The character that a backslash and e stand for, 0 for none of the simple ones.
char simpleEscape(char e)
{
    switch (e) {
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    case '"':
    case '?':
    case '\'':
    case '\\':
        return e;
    default:
        return 0;
    }
}

/// A value: quotes keep blanks and commas, backslash escapes as in C, an unquoted
/// comma separates list items. True when the value is a list (in items). The
/// states and their jumps are QSettings' own, down to which blanks are chopped:
/// trailing blanks go after the last escape only when the text ran to its end
/// (not after a dangling backslash or an escape at the very end).
bool unescapedValue(const QByteArray &text, int from, int to, QString &value, QStringList &items)
{
    bool isList = false;
    bool inQuotes = false;
    bool quoted = false;
    int i = from;
    // Unsigned: an escape of many digits runs past 32 bits, where a signed shift is
    // undefined; only the low 16 bits make the character, as with QSettings.
    uint code = 0;
    int chopLimit = 0;

skipBlanks:
    while (i < to && (text.at(i) == ' ' || text.at(i) == '\t'))
        ++i;
normal:
    chopLimit = value.size();
    while (i < to) {
        const char c = text.at(i);
        if (c == '\\') {
            ++i;
            if (i >= to)
                goto end;
            const char e = text.at(i++);
            if (const char simple = simpleEscape(e)) {
                value += QLatin1Char(simple);
                goto normal;
            }
            if (e == 'x') {
                code = 0;
                if (i >= to)
                    goto end;
                if (hexDigit(text.at(i)) >= 0)
                    goto hexEscape;
            } else if (e >= '0' && e <= '7') {
                code = e - '0';
                goto octalEscape;
            } else if (e == '\n' || e == '\r') {
                if (i < to && (text.at(i) == '\n' || text.at(i) == '\r') && text.at(i) != e)
                    ++i;
            }
            // Any other escaped character is dropped.
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                goto skipBlanks;
        } else if (c == ',' && !inQuotes) {
            if (!quoted)
                chopBlanks(value, chopLimit);
            isList = true;
            items.append(value);
            value.clear();
            quoted = false;
            ++i;
            goto skipBlanks;
        } else {
            int j = i + 1;
            while (j < to && text.at(j) != '\\' && text.at(j) != '"' && text.at(j) != ',')
                ++j;
            value += QString::fromUtf8(text.constData() + i, j - i);
            i = j;
        }
    }
    if (!quoted)
        chopBlanks(value, chopLimit);
    goto end;

hexEscape:
    while (i < to && hexDigit(text.at(i)) >= 0)
        code = (code << 4) + hexDigit(text.at(i++));
    value += QChar(ushort(code));
    if (i >= to)
        goto end;
    goto normal;

octalEscape:
    while (i < to && text.at(i) >= '0' && text.at(i) <= '7')
        code = (code << 3) + (text.at(i++) - '0');
    value += QChar(ushort(code));
    if (i >= to)
        goto end;
    goto normal;

end:
    if (isList)
        items.append(value);
    return isList;
}

/// "@@x" stands for "@x" and "@String(x)" for x: the two ways QSettings writes a
/// string. The other typed values QSettings knows (@Variant, @DateTime,
/// @ByteArray, @Rect...) stay the text they are: decoding them runs QDataStream
/// over bytes from the network, where a count of 2^31 items is a crash, and
/// nothing in a descriptor is meant to be anything but text.
QString textValue(const QString &text)
{
    if (text.startsWith(QLatin1String("@@")))
        return text.mid(1);
    if (text.startsWith(QLatin1String("@String(")) && text.endsWith(QLatin1Char(')')))
        return text.mid(8, text.size() - 9);
    return text;
}

QStringList listValue(QStringList items)
{
    for (QString &item : items)
        item = textValue(item);
    return items;
}

} // namespace

IniValues::IniValues(const QByteArray &text)
{
    // Lines of a group that appears more than once are read together, groups in
    // the order of their names, the lines before any group first.
    QMap<QString, QPair<QString, QByteArray>> sections;
    QString current;
    int currentStart = 0;
    int pos = text.startsWith("\xef\xbb\xbf") ? 3 : 0;
    int start = pos;
    int length = 0;
    int equals = -1;
    auto flush = [&](int end) {
        auto &section = sections[comparedKey(current)];
        section.first = current;
        if (!section.second.isEmpty())
            section.second.append('\n');
        section.second += text.mid(currentStart, end - currentStart);
    };
    // The mark itself still counts as a line of its own, one without "=".
    while (nextLine(text, pos, start, length, equals)) {
        if (text.at(start) != '[')
            continue;
        flush(start);
        int close = text.indexOf(']', start);
        if (close < 0 || close >= start + length) {
            m_wellFormed = false;
            close = start + length;
        }
        const QByteArray name = text.mid(start + 1, close - start - 1).trimmed();
        if (name.compare("general", Qt::CaseInsensitive) == 0)
            current.clear();
        else if (name.compare("%general", Qt::CaseInsensitive) == 0)
            current = QString::fromLatin1(name.mid(1)) + QLatin1Char('/');
        else
            current = unescapedName(name, 0, name.size()) + QLatin1Char('/');
        currentStart = pos;
    }
    flush(text.size());
    for (const auto &section : qAsConst(sections))
        readSection(section.second, section.first);
}

void IniValues::readSection(const QByteArray &text, const QString &prefix)
{
    int pos = 0;
    int start = 0;
    int length = 0;
    int equals = -1;
    while (nextLine(text, pos, start, length, equals)) {
        if (equals < 0) {
            if (text.at(start) != ';')
                m_wellFormed = false;
            continue;
        }
        int keyEnd = equals;
        while (keyEnd > start && (text.at(keyEnd - 1) == ' ' || text.at(keyEnd - 1) == '\t'))
            --keyEnd;
        const QString key = prefix + unescapedName(text, start, keyEnd);
        QString value;
        QStringList items;
        const bool isList = unescapedValue(text, equals + 1, start + length, value, items);
        m_values.insert(comparedKey(key), isList ? QVariant(listValue(items)) : QVariant(textValue(value)));
    }
}

QVariant IniValues::value(const QString &key, const QVariant &defaultValue) const
{
    const auto found = m_values.constFind(comparedKey(key));
    return found == m_values.cend() ? defaultValue : *found;
}

bool IniValues::contains(const QString &key) const
{
    return m_values.contains(comparedKey(key));
}

bool IniValues::containsGroup(const QString &group) const
{
    const QString prefix = comparedKey(group) + QLatin1Char('/');
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        if (it.key().startsWith(prefix))
            return true;
    }
    return false;
}

bool IniValues::isWellFormed() const
{
    return m_wellFormed;
}
