#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>

/// The values of an INI text held in memory, read by the rules by which QSettings
/// reads an INI file with the UTF-8 codec: [Group] lines, Key=Value lines, ";"
/// comments, quotes and backslash escapes in values, an unquoted comma making a
/// list, %XX and %UXXXX in names, a UTF-8 byte-order mark skipped. Keys are
/// "Group/Key"; on Windows, where QSettings compares INI keys without regard to
/// letter case, so does this. Unlike QSettings, it decodes no typed value:
/// "@Variant(...)", "@DateTime(...)" and the like stay text.
///
/// A descriptor is read from the very bytes whose signature was checked: a file
/// read back through QSettings could have been swapped in between, and QSettings
/// serves the values it read earlier for a file of the same size and time stamp.
class IniValues
{
public:
    explicit IniValues(const QByteArray &text);

    /// A QString, a QStringList for a value with an unquoted comma (never any
    /// other type), or defaultValue when the key is missing.
    QVariant value(const QString &key, const QVariant &defaultValue = QVariant()) const;
    bool contains(const QString &key) const;
    /// True when at least one key lies in the group.
    bool containsGroup(const QString &group) const;
    /// False when a line was neither a group, a key with "=", nor a comment, or
    /// a group line lacked its "]" (where QSettings reports a format error).
    bool isWellFormed() const;

private:
    void readSection(const QByteArray &text, const QString &prefix);

    QHash<QString, QVariant> m_values;
    bool m_wellFormed = true;
};
