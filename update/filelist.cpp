#include "update/filelist.h"

#include <QDir>
#include <QHash>
#include <QList>
#include <QStringRef>
#include <QTextCodec>

#include <cstring>

namespace {

// The size field stores its two 32-bit halves in little-endian word order, the
// same arrangement as the MD5 text; rotating by 32 bits converts either way.
quint64 swapHalves(quint64 value)
{
    return (value << 32) | (value >> 32);
}

// "..", and also "...", ".. ", ". " or " ": Windows drops trailing dots and spaces
// from path components, so those can end up meaning the parent folder or the
// folder itself.
bool onlyDotsAndSpaces(const QStringRef &component)
{
    for (const QChar c : component) {
        if (c != QLatin1Char('.') && c != QLatin1Char(' '))
            return false;
    }
    return true;
}

} // namespace

UpdateFileMap parseFileList(QByteArray text)
{
    return parseFileList(text, QTextCodec::codecForLocale());
}

UpdateFileMap parseFileList(QByteArray text, QTextCodec *codec)
{
    // One pass over the bytes, without splitting the text into a list of lines and
    // each line into fields first: a list of a million files would otherwise cost
    // four million small allocations before a single entry is made.
    UpdateFileMap files;
    // "d//x" and "./d/x" name the file that "d/x" names. Listed under two spellings
    // it would be fetched twice into one cached place, and the second installation
    // would find it gone; as for any path listed twice, the later line wins.
    QHash<QString, QString> oddSpellings; // the plain spelling -> the odd key in files
    const char *const data = text.constData();
    const int length = text.size();
    for (int begin = 0; begin <= length;) {
        const char *newline = static_cast<const char *>(std::memchr(data + begin, '\n', length - begin));
        const int end = newline ? int(newline - data) : length;
        int lineEnd = end;
        if (lineEnd > begin && data[lineEnd - 1] == '\r')
            --lineEnd;
        const char *line = data + begin;
        const int lineLength = lineEnd - begin;
        begin = end + 1;

        // Exactly three fields: two TABs, and none after the second.
        const char *tab1 = static_cast<const char *>(std::memchr(line, '\t', lineLength));
        if (!tab1)
            continue;
        const char *fieldEnd = line + lineLength;
        const char *tab2 = static_cast<const char *>(std::memchr(tab1 + 1, '\t', fieldEnd - tab1 - 1));
        if (!tab2 || std::memchr(tab2 + 1, '\t', fieldEnd - tab2 - 1))
            continue;

        UpdateFileEntry entry;
        entry.md5 = QByteArray(line, int(tab1 - line));
        bool ok = false;
        const quint64 raw = QByteArray::fromRawData(tab1 + 1, int(tab2 - tab1 - 1)).toULongLong(&ok, 16);
        entry.size = swapHalves(ok ? raw : 0);

        entry.path = fileListPath(QByteArray::fromRawData(tab2 + 1, int(fieldEnd - tab2 - 1)), codec);
        // A list comes from the network; a path that could reach outside the
        // installation (or name the installation folder itself) is never acted on.
        if (!isSafeRelativePath(entry.path))
            continue;
        const QString &path = entry.path;
        const bool odd = path.startsWith(QLatin1String("./")) || path.contains(QLatin1String("//"))
                      || path.contains(QLatin1String("/./"));
        const QString plain = odd ? QDir::cleanPath(path) : path;
        const auto earlier = oddSpellings.constFind(plain);
        if (earlier != oddSpellings.cend() && *earlier != path)
            files.remove(*earlier);
        if (odd) {
            files.remove(plain);
            oddSpellings.insert(plain, path);
        } else if (earlier != oddSpellings.cend()) {
            oddSpellings.remove(plain);
        }
        files.insert(path, entry);
    }
    return files;
}

QString fileListPath(const QByteArray &field, QTextCodec *codec)
{
    QString path;
    if (codec) {
        // Decoded without a state, as QString::fromLocal8Bit does, a UTF-8 codec
        // silently drops a leading byte-order mark. In a path it is part of the
        // bytes, and clients of other code pages read it as characters anyway:
        // kept as U+FEFF, it makes the name fail in plain sight instead.
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        path = codec->toUnicode(field.constData(), field.size(), &state);
    } else {
        path = QString::fromLatin1(field);
    }
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return path;
}

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char(':')))
        return false;
    // Parsed paths hold no backslash any more, but other callers may pass one, and
    // on Windows it separates components just like "/". Lists keep paths as they
    // are written: an inner empty or "." component ("d//x", "./y") stays inside the
    // folder and is left as it is.
    int begin = 0;
    for (int i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path.at(i) != QLatin1Char('/') && path.at(i) != QLatin1Char('\\'))
            continue;
        const QStringRef component = path.midRef(begin, i - begin);
        const bool last = i == path.size();
        if (component.isEmpty()) {
            // First: an absolute path. Last: a folder, not a file.
            if (begin == 0 || last)
                return false;
        } else if (component == QLatin1String(".")) {
            if (last)
                return false;
        } else if (onlyDotsAndSpaces(component)) {
            return false;
        }
        begin = i + 1;
    }
    return true;
}

QByteArray fileListSizeField(quint64 size)
{
    return QByteArray::number(size & 0xffffffffu, 16).rightJustified(8, '0')
         + QByteArray::number(size >> 32, 16).rightJustified(8, '0');
}

QByteArray fileListLine(const QByteArray &md5, quint64 size, const QByteArray &encodedPath)
{
    return md5 + '\t' + fileListSizeField(size) + '\t' + encodedPath;
}
