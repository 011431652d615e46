#include "update/packindex.h"

#include <QHash>
#include <QTextCodec>

const QString PackIndexName = QStringLiteral("index.txt");
const QString PackFolder = QStringLiteral("#pack");
const QString PackIndexKey = QStringLiteral("Version/Index");

namespace {

// Patches from this many earlier versions of one file are looked at, at most.
constexpr int MaxPatchesPerFile = 4;

bool isLowerHex(const QByteArray &text, int length)
{
    if (text.size() != length)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Decimal digits only, as the publisher writes them: no sign, no blanks.
bool readSize(const QByteArray &text, quint64 &size)
{
    if (text.isEmpty() || text.size() > 20)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    bool ok = false;
    size = text.toULongLong(&ok);
    return ok;
}

} // namespace

bool parsePackIndexLine(const QByteArray &line, PackArtefact &artefact, QByteArray &pathField)
{
    const QList<QByteArray> fields = line.split('\t');
    if (fields.size() != 8)
        return false;
    if (fields.at(0) == "zst")
        artefact.kind = PackArtefact::Compressed;
    else if (fields.at(0) == "patch")
        artefact.kind = PackArtefact::Patch;
    else
        return false;
    if (!readSize(fields.at(1), artefact.size) || artefact.size == 0 || !isLowerHex(fields.at(2), 32)
        || !isLowerHex(fields.at(3), 64))
        return false;
    artefact.md5 = fields.at(2);
    artefact.sha256 = fields.at(3);
    if (artefact.kind == PackArtefact::Patch) {
        if (!readSize(fields.at(4), artefact.baseSize) || !isLowerHex(fields.at(5), 32)
            || !isLowerHex(fields.at(6), 64))
            return false;
        artefact.baseMd5 = fields.at(5);
        artefact.baseSha256 = fields.at(6);
    } else if (!fields.at(4).isEmpty() || !fields.at(5).isEmpty() || !fields.at(6).isEmpty()) {
        return false;
    }
    pathField = fields.at(7);
    return !pathField.isEmpty();
}

QString PackArtefact::relativePath() const
{
    return PackFolder + QLatin1Char('/') + QString::fromLatin1(sha256) + QStringLiteral(".zst");
}

UpdateFileEntry frameEntry(const PackArtefact &artefact)
{
    UpdateFileEntry entry;
    entry.path = artefact.relativePath();
    entry.size = artefact.size;
    entry.md5 = artefact.md5;
    entry.sha256 = artefact.sha256;
    return entry;
}

QByteArray packIndexLine(const PackArtefact &artefact, const QByteArray &pathField)
{
    const bool patch = artefact.kind == PackArtefact::Patch;
    return (patch ? QByteArrayLiteral("patch") : QByteArrayLiteral("zst")) + '\t'
        + QByteArray::number(artefact.size) + '\t' + artefact.md5 + '\t' + artefact.sha256 + '\t'
        + (patch ? QByteArray::number(artefact.baseSize) : QByteArray()) + '\t'
        + (patch ? artefact.baseMd5 : QByteArray()) + '\t'
        + (patch ? artefact.baseSha256 : QByteArray()) + '\t' + pathField;
}

void attachPackIndex(const QByteArray &md5List, const QByteArray &index, UpdateFileMap &files)
{
    // Lines are looked at in place: the list and the index may each be tens of
    // megabytes, of which only the lines of the few changed files are kept.
    const auto forEachLine = [](const QByteArray &text, const auto &take) {
        for (int start = 0; start < text.size();) {
            int end = text.indexOf('\n', start);
            if (end < 0)
                end = text.size();
            int length = end - start;
            if (length > 0 && text.at(end - 1) == '\r')
                --length;
            take(QByteArray::fromRawData(text.constData() + start, length));
            start = end + 1;
        }
    };
    // Path fields of the list whose entries are in files: the index names files
    // by the very bytes of the list, whatever their encoding.
    QHash<QByteArray, QString> listed;
    QTextCodec *codec = QTextCodec::codecForLocale();
    forEachLine(md5List, [&](const QByteArray &line) {
        const int tab = line.lastIndexOf('\t');
        if (tab < 0 || line.count('\t') != 2)
            return;
        const QByteArray field(line.constData() + tab + 1, line.size() - tab - 1);
        const QString path = fileListPath(field, codec);
        if (files.contains(path))
            listed.insert(field, path);
    });
    forEachLine(index, [&](const QByteArray &line) {
        PackArtefact artefact;
        QByteArray field;
        if (!parsePackIndexLine(line, artefact, field))
            return;
        const auto path = listed.constFind(field);
        if (path == listed.cend())
            return;
        QList<PackArtefact> &artefacts = files[*path].artefacts;
        // A few ways per file are plenty; a hostile index must not turn one file
        // into thousands of requests.
        int patches = 0;
        for (const PackArtefact &known : qAsConst(artefacts)) {
            if (known.sha256 == artefact.sha256
                || (known.kind == PackArtefact::Compressed && artefact.kind == PackArtefact::Compressed))
                return;
            patches += known.kind == PackArtefact::Patch;
        }
        // A patch is tried before the compressed copy: it is the smaller one.
        if (artefact.kind == PackArtefact::Patch && patches < MaxPatchesPerFile)
            artefacts.insert(patches, artefact);
        else if (artefact.kind == PackArtefact::Compressed)
            artefacts.append(artefact);
    });
}
