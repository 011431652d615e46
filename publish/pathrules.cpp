#include "publish/pathrules.h"

#include "update/filelist.h"
#include "update/windowsnames.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

QString globToRegularExpression(const QString &glob)
{
    QString rx;
    for (int i = 0; i < glob.size(); ++i) {
        const QChar c = glob.at(i);
        if (c == QLatin1Char('*')) {
            if (i + 1 < glob.size() && glob.at(i + 1) == QLatin1Char('*')) {
                ++i;
                // "**/" also matches no folder at all: "**/x" matches "x".
                if (i + 1 < glob.size() && glob.at(i + 1) == QLatin1Char('/')) {
                    ++i;
                    rx += QLatin1String("(?:.*/)?");
                } else {
                    rx += QLatin1String(".*");
                }
            } else {
                rx += QLatin1String("[^/]*");
            }
        } else if (c == QLatin1Char('?')) {
            rx += QLatin1String("[^/]");
        } else if (c == QLatin1Char('[')) {
            const int end = glob.indexOf(QLatin1Char(']'), i + 2);
            if (end < 0) {
                rx += QLatin1String("\\[");
                continue;
            }
            QString set = glob.mid(i + 1, end - i - 1);
            if (set.startsWith(QLatin1Char('!')))
                set[0] = QLatin1Char('^');
            set.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
            rx += QLatin1Char('[') + set + QLatin1Char(']');
            i = end;
        } else {
            rx += QRegularExpression::escape(QString(c));
        }
    }
    return QLatin1String("\\A(?:") + rx + QLatin1String(")\\z");
}

} // namespace

QString windowsNameProblem(const QString &name)
{
    // A Windows client drops list entries by these same rules.
    switch (windowsNameFlaw(QStringRef(&name))) {
    case WindowsNameFlaw::None:
        break;
    case WindowsNameFlaw::ControlCharacter:
        return QStringLiteral("a control character is not allowed in a Windows name");
    case WindowsNameFlaw::ReservedCharacter:
        return QStringLiteral("\"%1\" is not allowed in a Windows name")
                .arg(*std::find_if(name.cbegin(), name.cend(), isWindowsReservedCharacter));
    case WindowsNameFlaw::TrailingDotOrSpace:
        return QStringLiteral("Windows drops a trailing dot or space from a name");
    case WindowsNameFlaw::DeviceName:
        return QStringLiteral("\"%1\" is a device name on Windows").arg(name.section(QLatin1Char('.'), 0, 0));
    case WindowsNameFlaw::ShortNameAlias:
        return QStringLiteral("Windows may read \"%1\" as the short name of another file").arg(name);
    }
    return QString();
}

QString publishPathProblem(const QString &path)
{
    // The updater reads a backslash as a separator, so judge the path as it will.
    // The Windows rules follow below, name by name, each with its own message.
    QString listed = path;
    listed.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!isSafeRelativePath(listed, PathRules::Basic))
        return QStringLiteral("the updater drops it as an unsafe path");
    if (path.contains(QLatin1Char('\t')) || path.contains(QLatin1Char('\r')) || path.contains(QLatin1Char('\n')))
        return QStringLiteral("a TAB, CR or LF would break its md5.txt line");
    // The updater appends paths to the address as they are: "%41" would be read
    // as "A", and "#" or "?" would end the path part of the address.
    if (path.contains(QLatin1Char('%')))
        return QStringLiteral("\"%\" would be read as an escape in the download address");
    if (path.contains(QLatin1Char('#')))
        return QStringLiteral("\"#\" would cut the download address short");
    if (path.contains(QLatin1Char('\\')))
        return QStringLiteral("the updater reads a backslash as a folder separator");
    const QStringList names = path.split(QLatin1Char('/'));
    for (const QString &name : names) {
        const QString problem = windowsNameProblem(name);
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

bool isExcludedByDefault(const QString &path, bool isFolder)
{
    // Any spelling that a Windows client takes for one of these is one of them.
    const QString upper = windowsUpcase(path);
    if (isFolder)
        return upper == QLatin1String("UPDATE") || upper == QLatin1String("BIN/UPDATE");
    static const QStringList files = {QStringLiteral("SYSTEM.CFG"), QStringLiteral("BIN/SYSTEM.CFG"),
                                      QStringLiteral("UPDATE_MD5.INFO"), QStringLiteral("BIN/UPDATE_MD5.INFO"),
                                      QStringLiteral("UPDATE_SEQUENCE.INFO"), QStringLiteral("BIN/UPDATE_SEQUENCE.INFO"),
                                      // An installation's own random identity (published, every client
                                      // would share one rollout decision) and a server's push-back time.
                                      QStringLiteral("UPDATE_ID.INFO"), QStringLiteral("BIN/UPDATE_ID.INFO"),
                                      QStringLiteral("UPDATE_RETRY.INFO"), QStringLiteral("BIN/UPDATE_RETRY.INFO")};
    return files.contains(upper) || upper.endsWith(QLatin1String(".OLD"));
}

bool matchesExcludeGlob(const QString &glob, const QString &path, bool isFolder)
{
    QString pattern = glob;
    pattern.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (pattern.endsWith(QLatin1Char('/'))) {
        if (!isFolder)
            return false;
        pattern.chop(1);
    }
    if (pattern.startsWith(QLatin1Char('/')))
        pattern.remove(0, 1);
    const QString subject = pattern.contains(QLatin1Char('/')) ? path : path.section(QLatin1Char('/'), -1);
    const QRegularExpression rx(globToRegularExpression(pattern), QRegularExpression::CaseInsensitiveOption);
    return rx.match(subject).hasMatch();
}

QString displayPath(const QString &path)
{
    QString shown;
    for (const QChar c : path) {
        if (c == QLatin1Char('\t'))
            shown += QLatin1String("\\t");
        else if (c == QLatin1Char('\r'))
            shown += QLatin1String("\\r");
        else if (c == QLatin1Char('\n'))
            shown += QLatin1String("\\n");
        else if (c.unicode() < 0x20)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else if (c.category() == QChar::Other_Format)  // invisible: U+FEFF, U+200E, ...
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}
