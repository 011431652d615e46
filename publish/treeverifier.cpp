#include "publish/treeverifier.h"

#include "publish/descriptor.h"
#include "publish/parallelhasher.h"
#include "publish/pathencoding.h"
#include "publish/pathrules.h"
#include "update/filelist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSet>

namespace {

bool isHex(const QByteArray &text, bool lowerOnly)
{
    for (const char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool lower = c >= 'a' && c <= 'f';
        const bool upper = c >= 'A' && c <= 'F';
        if (!digit && !lower && !(upper && !lowerOnly))
            return false;
    }
    return true;
}

struct ListedFile
{
    QString path;
    quint64 size = 0;
    QByteArray md5;
};

} // namespace

TreeVerifier::TreeVerifier(const QString &outDir, QTextCodec *codec)
    : m_outDir(outDir)
    , m_codec(codec)
{
}

bool TreeVerifier::verify()
{
    m_problems.clear();
    m_fileCount = 0;
    const QString descriptorPath = QDir(m_outDir).filePath(QStringLiteral("update.ini"));
    UpdateDescriptor descriptor;
    if (!readUpdateDescriptor(descriptorPath, descriptor)) {
        m_problems.append(QStringLiteral("\"%1\": cannot be read as INI").arg(descriptorPath));
        return false;
    }
    if (descriptor.folder.isEmpty() || descriptor.folder.contains(QLatin1Char('/'))
        || descriptor.folder.contains(QLatin1Char('\\')) || !isSafeRelativePath(descriptor.folder)) {
        m_problems.append(QStringLiteral("\"%1\": Version/Folder \"%2\" is not one safe folder name")
                              .arg(descriptorPath, displayPath(descriptor.folder)));
        return false;
    }
    const QDir versionDir(QDir(m_outDir).filePath(descriptor.folder));
    const QString listPath = versionDir.filePath(QStringLiteral("md5.txt"));
    QFile listFile(listPath);
    if (!listFile.open(QIODevice::ReadOnly)) {
        m_problems.append(QStringLiteral("\"%1\": cannot be read: %2").arg(listPath, listFile.errorString()));
        return false;
    }
    // The list has one short line per file; it is read whole, as the updater does.
    const QByteArray text = listFile.readAll();
    listFile.close();

    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    QVector<ListedFile> listed;
    QSet<QString> seen;
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        const QString where = QStringLiteral("md5.txt line %1").arg(i + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3) {
            m_problems.append(where + QStringLiteral(": not three TAB-separated fields (the updater skips it)"));
            continue;
        }
        ListedFile file;
        file.md5 = fields.at(0);
        if (file.md5.size() != 32 || !isHex(file.md5, true))
            m_problems.append(where + QStringLiteral(": \"%1\" is not an MD5 text").arg(QString::fromLatin1(file.md5)));
        const QByteArray sizeField = fields.at(1);
        if (sizeField.size() != 16 || !isHex(sizeField, false)) {
            m_problems.append(where + QStringLiteral(": \"%1\" is not a size field").arg(QString::fromLatin1(sizeField)));
            continue;
        }
        const quint64 raw = sizeField.toULongLong(nullptr, 16);
        file.size = (raw << 32) | (raw >> 32);
        // Read exactly as the updater reads it: a name that only some readers see
        // differently (a byte-order mark, say) is then looked for as the updater would.
        if (!decodeListPath(fields.at(2), m_codec, file.path)) {
            m_problems.append(where + QStringLiteral(": the path is not plain ASCII; give --path-encoding"));
            continue;
        }
        if (!isSafeRelativePath(file.path)) {
            m_problems.append(where + QStringLiteral(": \"%1\" is an unsafe path (the updater drops it)")
                                          .arg(displayPath(file.path)));
            continue;
        }
        if (seen.contains(file.path)) {
            m_problems.append(where + QStringLiteral(": \"%1\" is listed twice").arg(displayPath(file.path)));
            continue;
        }
        seen.insert(file.path);
        listed.append(file);
    }
    m_fileCount = listed.size();

    QVector<HashJob> jobs;
    QVector<ListedFile> hashed;
    quint64 total = 0;
    for (const ListedFile &file : qAsConst(listed)) {
        const QFileInfo info(versionDir.filePath(file.path));
        if (!info.isFile()) {
            // A mark that other readers drop shows up here: the updater asks for it.
            const QString note = file.path.contains(QChar(0xfeff))
                    ? QStringLiteral(" (the updater reads the byte-order mark U+FEFF as part of the name)")
                    : QString();
            m_problems.append(QStringLiteral("\"%1\": missing%2").arg(displayPath(file.path), note));
            continue;
        }
        if (static_cast<quint64>(info.size()) != file.size) {
            m_problems.append(QStringLiteral("\"%1\": %2 bytes, listed as %3")
                                  .arg(displayPath(file.path)).arg(info.size()).arg(file.size));
        }
        jobs.append({info.filePath(), QString()});
        hashed.append(file);
        total += static_cast<quint64>(info.size());
    }
    ParallelHasher hasher;
    hasher.setStopOnFailure(false);
    if (stderrIsTerminal())
        hasher.setProgressLabel(QStringLiteral("Verifying"));
    const QVector<HashResult> results = hasher.run(jobs, total);
    for (int i = 0; i < results.size(); ++i) {
        const HashResult &result = results.at(i);
        const ListedFile &file = hashed.at(i);
        if (!result.ok)
            m_problems.append(QStringLiteral("\"%1\": %2").arg(displayPath(file.path), result.error));
        else if (result.md5 != file.md5)
            m_problems.append(QStringLiteral("\"%1\": MD5 text %2, listed as %3")
                                  .arg(displayPath(file.path), QString::fromLatin1(result.md5),
                                       QString::fromLatin1(file.md5)));
    }
    return m_problems.isEmpty();
}
