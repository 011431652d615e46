#include "update/signedrelease.h"

#include "update/inivalues.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTextCodec>

namespace {

bool isSha256Hex(const QByteArray &text)
{
    if (text.size() != 64)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Lines as the list parser reads them: split at LF, one CR before it dropped.
QList<QByteArray> listLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

} // namespace

bool readReleaseGroup(const IniValues &descriptor, ReleaseInfo &info)
{
    // The INI reader hands back a list for an unquoted value with a comma; such a value
    // is malformed here anyway, and toString() of a list is empty.
    const QString sequence = descriptor.value(QStringLiteral("Release/Sequence")).toString();
    bool ok = false;
    info.sequence = sequence.toLongLong(&ok);
    if (!ok || info.sequence < 0 || sequence.trimmed() != sequence || sequence.startsWith(QLatin1Char('+')))
        return false;
    info.listHash = descriptor.value(QStringLiteral("Release/List")).toString().toLatin1();
    info.hashesHash = descriptor.value(QStringLiteral("Release/Hashes")).toString().toLatin1();
    if (!isSha256Hex(info.listHash) || !isSha256Hex(info.hashesHash))
        return false;
    info.expires = QDateTime();
    if (descriptor.contains(QStringLiteral("Release/Expires"))) {
        const QString expires = descriptor.value(QStringLiteral("Release/Expires")).toString();
        info.expires = QDateTime::fromString(expires, Qt::ISODate);
        // Only UTC, spelled with its Z: a time without a zone means something else
        // on every client.
        if (!expires.endsWith(QLatin1Char('Z')) || !info.expires.isValid()
            || info.expires.timeSpec() != Qt::UTC)
            return false;
    }
    return true;
}

bool attachSha256(const QByteArray &md5List, const QByteArray &sha256List, UpdateFileMap &files)
{
    QHash<QByteArray, QByteArray> hashes; // path field -> SHA-256
    const QList<QByteArray> shaLines = listLines(sha256List);
    for (const QByteArray &line : shaLines) {
        if (line.isEmpty())
            continue;
        const int tab = line.indexOf('\t');
        const QByteArray hash = line.left(tab);
        const QByteArray field = line.mid(tab + 1);
        if (tab < 0 || !isSha256Hex(hash) || field.contains('\t') || hashes.contains(field))
            return false;
        hashes.insert(field, hash);
    }

    QTextCodec *codec = QTextCodec::codecForLocale();
    int named = 0;
    const QList<QByteArray> listed = listLines(md5List);
    for (const QByteArray &line : listed) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3)
            continue;
        const auto hash = hashes.constFind(fields.at(2));
        if (hash == hashes.cend())
            return false;
        ++named;
        const auto entry = files.find(fileListPath(fields.at(2), codec));
        if (entry != files.end())
            entry->sha256 = *hash;
    }
    return named == hashes.size();
}

bool recordedSequence(const QString &recordPath, qint64 &sequence)
{
    sequence = 0;
    const QFileInfo info(recordPath);
    if (!info.exists() && !info.isSymLink())
        return true;
    QFile record(recordPath);
    if (!info.isFile() || !record.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = record.read(64).trimmed();
    bool ok = false;
    sequence = text.toLongLong(&ok);
    return ok && sequence >= 0 && !text.startsWith('+');
}
