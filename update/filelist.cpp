#include "update/filelist.h"

#include "update/md5.h"
#include "update/windowsnames.h"

#include <QDir>
#include <QHash>
#include <QList>
#include <QRandomGenerator>
#include <QStringRef>
#include <QTextCodec>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

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

// The updater's own files: its records at the installation root, its settings and
// trust anchor beside it, at the root or in bin/. A release replaces one of them
// only on purpose and by its exact name (update.pub, say, to rotate keys). On
// Windows any other spelling reaches the same file through an entry that does not
// look like one of them, so such a spelling is never acted on. The list does not
// tell where the updater lives, so the names in bin/ count in a flat installation
// too, where no release has a reason to spell them otherwise either. first and
// last are the path's first and last names, names how many it has, empty and "."
// components left out.
bool isOwnFileInAnotherCase(int names, const QStringRef &first, const QStringRef &last)
{
    static const QString bin = QStringLiteral("bin");
    if (names == 2 ? !isSameWindowsName(first, QStringRef(&bin)) : names != 1)
        return false;
    static const QString own[] = {QStringLiteral("update_md5.info"), QStringLiteral("update_sequence.info"),
                                  QStringLiteral("system.cfg"), QStringLiteral("update.pub")};
    for (const QString &exact : own) {
        if (isSameWindowsName(last, QStringRef(&exact)))
            return last != exact || (names == 2 && first != bin);
    }
    return false;
}

// The key in the parsed map of every entry, found by the entry's plain spelling
// with letter case ignored. Open addressing in one array: a list of a million
// files costs a few reallocations of it, not an allocation per line; the strings
// stored are shared with the map.
class CaseBlindSpellings
{
public:
    /// Records key as the entry for plain; answers the key recorded before for a
    /// spelling equal to plain but for case (null: none).
    QString exchange(const QString &plain, const QString &key)
    {
        if ((m_used + 1) * 2 > m_slots.size())
            grow();
        uint hash = 2166136261u;
        for (const QChar c : plain)
            hash = (hash ^ windowsUpcase(c).unicode()) * 16777619u;
        const std::size_t mask = m_slots.size() - 1;
        std::size_t i = hash & mask;
        const QStringRef spelling(&plain);
        while (!m_slots[i].plain.isNull()
               && (m_slots[i].hash != hash || !isSameWindowsName(QStringRef(&m_slots[i].plain), spelling)))
            i = (i + 1) & mask;
        Slot &slot = m_slots[i];
        if (slot.plain.isNull()) {
            slot = Slot{plain, key, hash};
            ++m_used;
            return QString();
        }
        return std::exchange(slot.key, key);
    }

private:
    struct Slot
    {
        QString plain;
        QString key;
        uint hash = 0;
    };

    void grow()
    {
        std::vector<Slot> old =
                std::exchange(m_slots, std::vector<Slot>(std::max<std::size_t>(64, m_slots.size() * 2)));
        const std::size_t mask = m_slots.size() - 1;
        for (Slot &slot : old) {
            if (slot.plain.isNull())
                continue;
            std::size_t i = slot.hash & mask;
            while (!m_slots[i].plain.isNull())
                i = (i + 1) & mask;
            m_slots[i] = std::move(slot);
        }
    }

    std::vector<Slot> m_slots;
    std::size_t m_used = 0;
};

} // namespace

UpdateFileMap parseFileList(QByteArray text)
{
    return parseFileList(text, QTextCodec::codecForLocale());
}

UpdateFileMap parseFileList(QByteArray text, QTextCodec *codec, PathRules rules)
{
    // One pass over the bytes, without splitting the text into a list of lines and
    // each line into fields first: a list of a million files would otherwise cost
    // four million small allocations before a single entry is made.
    UpdateFileMap files;
    // "d//x" and "./d/x" name the file that "d/x" names. Listed under two spellings
    // it would be fetched twice into one cached place, and the second installation
    // would find it gone; as for any path listed twice, the later line wins.
    QHash<QString, QString> oddSpellings; // the plain spelling -> the odd key in files
    // On Windows "A.dll" and "a.dll", or "Bin/a.dll" and "./bin/A.DLL", are one file
    // as well: by its rules the plain spelling of every entry is looked up with
    // letter case ignored, and the later line wins here too.
    const bool caseBlind = rules == PathRules::Windows;
    CaseBlindSpellings spellings;
    UpdateFileEntry entry;
    forEachListLine(text, [&](const char *line, int length) {
        if (!parseFileListLine(line, length, codec, rules, entry))
            return;
        const QString &path = entry.path;
        const QString plain = plainListPath(path);
        if (caseBlind) {
            const QString earlier = spellings.exchange(plain, path);
            if (!earlier.isNull() && earlier != path)
                files.remove(earlier);
        } else {
            const bool odd = plain != path;
            const auto earlier = oddSpellings.constFind(plain);
            if (earlier != oddSpellings.cend() && *earlier != path)
                files.remove(*earlier);
            if (odd) {
                files.remove(plain);
                oddSpellings.insert(plain, path);
            } else if (earlier != oddSpellings.cend()) {
                oddSpellings.remove(plain);
            }
        }
        // Lists are written in order, so the hint (after the last entry) is mostly
        // right and saves the comparisons down the tree; a wrong one is ignored.
        files.insert(files.cend(), path, entry);
    });
    return files;
}

void forEachListLine(const QByteArray &text, const std::function<void(const char *, int)> &take)
{
    const char *const data = text.constData();
    const int length = text.size();
    for (int begin = 0; begin <= length;) {
        const char *newline = static_cast<const char *>(std::memchr(data + begin, '\n', length - begin));
        const int end = newline ? int(newline - data) : length;
        int lineEnd = end;
        if (lineEnd > begin && data[lineEnd - 1] == '\r')
            --lineEnd;
        take(data + begin, lineEnd - begin);
        begin = end + 1;
    }
}

bool forEachListFileLine(const QString &filePath, const std::function<void(const char *, int)> &take)
{
    // Each piece read joins what the one before left after its last line end; the
    // whole lines are handed on and the rest waits. No path of any system comes
    // near a line of 1 MiB: a longer one is dropped rather than held.
    constexpr int MaxLine = 1024 * 1024;
    QByteArray pending;
    bool dropping = false; // inside a line found too long
    const bool read = forEachFileChunk(filePath, [&](const char *data, qint64 size) {
        pending.append(data, int(size));
        const int whole = pending.lastIndexOf('\n') + 1;
        if (whole > 0) {
            const int begin = dropping ? pending.indexOf('\n') + 1 : 0;
            dropping = false;
            if (begin < whole)
                forEachListLine(QByteArray::fromRawData(pending.constData() + begin, whole - 1 - begin), take);
            pending.remove(0, whole);
        }
        if (pending.size() > MaxLine) {
            pending.clear();
            dropping = true;
        }
    });
    if (read && !dropping && !pending.isEmpty())
        forEachListLine(pending, take);
    return read;
}

bool parseFileListLine(const char *line, int length, QTextCodec *codec, PathRules rules, UpdateFileEntry &entry)
{
    // Exactly three fields: two TABs, and none after the second.
    const char *tab1 = static_cast<const char *>(std::memchr(line, '\t', size_t(length)));
    if (!tab1)
        return false;
    const char *fieldEnd = line + length;
    const char *tab2 = static_cast<const char *>(std::memchr(tab1 + 1, '\t', size_t(fieldEnd - tab1 - 1)));
    if (!tab2 || std::memchr(tab2 + 1, '\t', size_t(fieldEnd - tab2 - 1)))
        return false;

    entry = UpdateFileEntry();
    entry.md5 = QByteArray(line, int(tab1 - line));
    bool ok = false;
    const quint64 raw = QByteArray::fromRawData(tab1 + 1, int(tab2 - tab1 - 1)).toULongLong(&ok, 16);
    entry.size = swapHalves(ok ? raw : 0);
    entry.path = fileListPath(QByteArray::fromRawData(tab2 + 1, int(fieldEnd - tab2 - 1)), codec);
    // A list comes from the network; a path that could reach outside the
    // installation (or name the installation folder itself), or that the
    // client's system would read as something else, is never acted on.
    return isSafeRelativePath(entry.path, rules);
}

QString plainListPath(const QString &path)
{
    // "./" at the start, or "//" or "/./" anywhere: one pass, as this runs for every
    // line of a list and of the record.
    const QChar *const c = path.constData();
    const int size = path.size();
    bool odd = size >= 2 && c[0] == QLatin1Char('.') && c[1] == QLatin1Char('/');
    for (int i = 1; i < size && !odd; ++i) {
        odd = c[i] == QLatin1Char('/')
           && (c[i - 1] == QLatin1Char('/') || (i >= 2 && c[i - 1] == QLatin1Char('.') && c[i - 2] == QLatin1Char('/')));
    }
    return odd ? QDir::cleanPath(path) : path;
}

quint64 listPathIdentity(const QString &path, PathRules rules)
{
    const bool caseBlind = rules == PathRules::Windows;
    // FNV-1a over the UTF-16 units, then a finaliser so that the low bits, which
    // pick a slot in a table, depend on every unit. Seeded per process, as Qt seeds
    // its own hashes: a list made for a known function could put every path on one
    // slot and make a check take hours.
    static const quint64 seed = QRandomGenerator::system()->generate64();
    quint64 hash = 14695981039346656037ull ^ seed;
    for (const QChar c : plainListPath(path))
        hash = (hash ^ (caseBlind ? windowsUpcase(c) : c).unicode()) * 1099511628211ull;
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    return hash;
}

QString fileListPath(const QByteArray &field, QTextCodec *codec)
{
    QString path;
    // Most paths are plain ASCII, which UTF-8 leaves as it is: copied straight, a
    // list of a million paths is read in a fraction of the time.
    const auto ascii = [&field] {
        for (const char c : field) {
            if (static_cast<unsigned char>(c) >= 0x80)
                return false;
        }
        return true;
    };
    if (!codec || (codec->mibEnum() == 106 && ascii())) {
        path = QString::fromLatin1(field);
    } else {
        // Decoded without a state, as QString::fromLocal8Bit does, a UTF-8 codec
        // silently drops a leading byte-order mark. In a path it is part of the
        // bytes, and clients of other code pages read it as characters anyway:
        // kept as U+FEFF, it makes the name fail in plain sight instead.
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        path = codec->toUnicode(field.constData(), field.size(), &state);
    }
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return path;
}

bool isSafeRelativePath(const QString &path, PathRules rules)
{
    if (path.isEmpty() || path.contains(QLatin1Char(':')))
        return false;
    const bool windows = rules == PathRules::Windows;
    int names = 0;
    QStringRef firstName;
    QStringRef lastName;
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
        } else if (windows) {
            if (windowsNameFlaw(component) != WindowsNameFlaw::None)
                return false;
            if (++names == 1)
                firstName = component;
            lastName = component;
        }
        begin = i + 1;
    }
    return !windows || !isOwnFileInAnotherCase(names, firstName, lastName);
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
