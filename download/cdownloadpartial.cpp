#include "download/cdownloadpartial.h"

#include "download/cacheplaces.h"
#include "update/windowsnames.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QLatin1String DataSuffix(".partial");
const QLatin1String RecordSuffix(".partial.info");
// A record is a few hundred bytes; anything much larger at that name is not ours.
constexpr qint64 MaxRecordSize = 64 * 1024;
// Validators are sent back in a request header: a long or odd one is not resumed.
constexpr int MaxValidatorSize = 1024;
const QString RecordKind = QStringLiteral("partial body");

// Windows file names ignore case: "A.BIN.partial" is the place of "a.bin.partial".
#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity FileNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity FileNameCase = Qt::CaseSensitive;
#endif

struct Record
{
    UpdateFileEntry entry;
    QByteArray etag;
    QByteArray lastModified;
};

bool existsOrLink(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

bool isPlainFile(const QFileInfo &info)
{
    return info.isFile() && !info.isSymLink();
}

// Printable ASCII only: the value goes back to the server as a header.
QByteArray sendable(const QByteArray &value)
{
    const QByteArray trimmed = value.trimmed();
    if (trimmed.size() > MaxValidatorSize)
        return QByteArray();
    for (const char c : trimmed) {
        if (c < 0x20 || c > 0x7e)
            return QByteArray();
    }
    return trimmed;
}

// A weak ETag ("W/...") may not be sent in If-Range, and an unquoted one is no ETag.
bool isStrongEtag(const QByteArray &etag)
{
    return etag.size() >= 2 && etag.startsWith('"') && etag.endsWith('"');
}

// "bytes <first>-<last>/<complete>" with plain decimal numbers.
bool parseContentRange(const QByteArray &value, quint64 &first, quint64 &last, quint64 &complete)
{
    const QByteArray text = value.trimmed();
    if (!text.toLower().startsWith("bytes "))
        return false;
    const QByteArray range = text.mid(6).trimmed();
    const int dash = range.indexOf('-');
    const int slash = range.indexOf('/');
    if (dash <= 0 || slash <= dash + 1 || slash + 1 >= range.size())
        return false;
    const auto number = [](const QByteArray &digits, quint64 &result) {
        if (digits.isEmpty() || digits.size() > 19)
            return false;
        result = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9')
                return false;
            result = result * 10 + quint64(c - '0');
        }
        return true;
    };
    return number(range.left(dash), first) && number(range.mid(dash + 1, slash - dash - 1), last)
        && number(range.mid(slash + 1), complete);
}

bool readRecord(const QString &path, Record &record)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxRecordSize)
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(MaxRecordSize));
    const QJsonObject object = document.object();
    if (object.value(QStringLiteral("kind")).toString() != RecordKind)
        return false;
    bool sizeRead = false;
    record.entry.path = object.value(QStringLiteral("path")).toString();
    record.entry.size = object.value(QStringLiteral("size")).toString().toULongLong(&sizeRead);
    record.entry.md5 = object.value(QStringLiteral("md5")).toString().toLatin1();
    record.entry.sha256 = object.value(QStringLiteral("sha256")).toString().toLatin1();
    record.etag = object.value(QStringLiteral("etag")).toString().toLatin1();
    record.lastModified = object.value(QStringLiteral("lastModified")).toString().toLatin1();
    return sizeRead && !record.entry.path.isEmpty();
}

bool sameEntry(const UpdateFileEntry &a, const UpdateFileEntry &b)
{
    return a.path == b.path && a.size == b.size && a.md5 == b.md5 && a.sha256 == b.sha256;
}

void removeIfThere(const QString &path)
{
    if (isLinkPlace(path))
        removeLinkPlace(path);
    else if (existsOrLink(QFileInfo(path)))
        QFile::remove(path);
}

bool hasLinkBelow(const QDir &top, const QString &relative)
{
    QString walked;
    for (const QString &component : relative.split(QLatin1Char('/'))) {
        walked += walked.isEmpty() ? component : QLatin1Char('/') + component;
        if (isLinkPlace(top.absoluteFilePath(walked)))
            return true;
    }
    return false;
}

} // namespace

CDownloadPartial::CDownloadPartial(const QFileInfo &cached, const UpdateFileEntry &entry)
    : m_dataPath(cached.absoluteFilePath() + DataSuffix)
    , m_recordPath(cached.absoluteFilePath() + RecordSuffix)
    , m_entry(entry)
{
}

bool CDownloadPartial::find()
{
    m_length = 0;
    m_ifRange.clear();
    const QFileInfo data(m_dataPath);
    const QFileInfo recordInfo(m_recordPath);
    if (!existsOrLink(data) && !existsOrLink(recordInfo))
        return false;
    Record record;
    if (isPlainFile(data) && isPlainFile(recordInfo) && readRecord(m_recordPath, record)
        && sameEntry(record.entry, m_entry)) {
        const quint64 length = static_cast<quint64>(data.size());
        const QByteArray ifRange = validatorFor(record.etag, record.lastModified);
        // A prefix longer than the entry cannot belong to it, whatever its record says.
        if (!ifRange.isEmpty() && length >= MinimumKept && length <= m_entry.size) {
            m_length = length;
            m_ifRange = ifRange;
            m_byEtag = isStrongEtag(ifRange);
            return true;
        }
    }
    discard();
    return false;
}

bool CDownloadPartial::isRest(const QByteArray &contentRange, const QByteArray &etag,
                              const QByteArray &lastModified) const
{
    quint64 first = 0;
    quint64 last = 0;
    quint64 complete = 0;
    if (!parseContentRange(contentRange, first, last, complete) || first != m_length
        || complete != m_entry.size || last + 1 != m_entry.size)
        return false;
    // A server that ignored If-Range would send the rest of another version.
    const QByteArray answered = (m_byEtag ? etag : lastModified).trimmed();
    return answered.isEmpty() || answered == m_ifRange;
}

bool CDownloadPartial::record(const QByteArray &etag, const QByteArray &lastModified)
{
    discard();
    if (validatorFor(etag, lastModified).isEmpty())
        return false;
    QJsonObject object;
    object.insert(QStringLiteral("kind"), RecordKind);
    object.insert(QStringLiteral("path"), m_entry.path);
    object.insert(QStringLiteral("size"), QString::number(m_entry.size));
    object.insert(QStringLiteral("md5"), QString::fromLatin1(m_entry.md5));
    object.insert(QStringLiteral("sha256"), QString::fromLatin1(m_entry.sha256));
    object.insert(QStringLiteral("etag"), QString::fromLatin1(sendable(etag)));
    object.insert(QStringLiteral("lastModified"), QString::fromLatin1(sendable(lastModified)));
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    // Not QSaveFile, which writes through a link at its place. A record cut short
    // is no JSON and is removed by the next look.
    QFile file;
    QString error;
    if (!createNewFile(m_recordPath, file, error) || file.write(bytes) != bytes.size() || !file.flush()) {
        file.close();
        QFile::remove(m_recordPath);
        return false;
    }
    return true;
}

void CDownloadPartial::discard()
{
    // Bytes first: cut off between the two, a record without bytes is removed by
    // the next look, but bytes without a record would be nobody's.
    removeIfThere(m_dataPath);
    removeIfThere(m_recordPath);
    m_length = 0;
    m_ifRange.clear();
}

QByteArray CDownloadPartial::validatorFor(const QByteArray &etag, const QByteArray &lastModified)
{
    const QByteArray strong = sendable(etag);
    if (isStrongEtag(strong))
        return strong;
    return sendable(lastModified);
}

QSet<QString> CDownloadPartial::crowdedPaths(const QList<UpdateFileEntry> &files)
{
    QSet<QString> crowded;
    for (const UpdateFileEntry &entry : files) {
        const QString upper = windowsUpcase(entry.path);
        for (const QLatin1String &suffix : {DataSuffix, RecordSuffix}) {
            if (upper.endsWith(windowsUpcase(suffix)))
                crowded.insert(upper.left(upper.size() - suffix.size()));
        }
    }
    return crowded;
}

void CDownloadPartial::removeStale(const QDir &cacheDir, const QList<UpdateFileEntry> &files)
{
    // Kept bodies are few (large files cut off), so each is matched against the
    // list by a plain walk instead of an index of the whole list. Links to folders
    // are not followed: only what lies in the cache itself is ours.
    QStringList records;
    QDirIterator it(cacheDir.absolutePath(), {QStringLiteral("*") + RecordSuffix},
                    QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        records.append(it.next());
    for (const QString &recordPath : qAsConst(records)) {
        Record record;
        const QString relative = cacheDir.relativeFilePath(recordPath);
        // Only a record lying where it says it belongs is one of ours; one reached
        // through a link (a Windows junction, which the walk enters) lies elsewhere.
        if (!readRecord(recordPath, record) || !isSafeRelativePath(record.entry.path)
            || hasLinkBelow(cacheDir, relative)
            || relative.compare(record.entry.path + RecordSuffix, FileNameCase) != 0)
            continue;
        const QString dataRelative = record.entry.path + DataSuffix;
        bool keep = false;
        for (const UpdateFileEntry &entry : files) {
            keep = sameEntry(entry, record.entry)
                || entry.path.compare(relative, FileNameCase) == 0
                || entry.path.compare(dataRelative, FileNameCase) == 0;
            if (keep)
                break;
        }
        if (keep)
            continue;
        removeIfThere(cacheDir.absoluteFilePath(dataRelative));
        QFile::remove(recordPath);
    }
}
