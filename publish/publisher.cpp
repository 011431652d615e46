#include "publish/publisher.h"

#include "publish/addressreport.h"
#include "publish/descriptor.h"
#include "publish/parallelhasher.h"
#include "publish/pathencoding.h"
#include "publish/pathrules.h"
#include "publish/releasescanner.h"
#include "publish/treeswap.h"
#include "update/filelist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

const QString Program = QStringLiteral("updater-publish");

// The real location of a path that may not exist yet: its deepest existing
// ancestor resolved through symbolic links, with the missing rest appended.
QString resolvedPath(const QString &path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            return QDir::cleanPath(existing + rest);
        rest.prepend(existing.mid(slash));
        existing.truncate(slash);
    }
    return QDir::cleanPath(QFileInfo(existing).canonicalFilePath() + rest);
}

bool isInsideOrSame(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

QString folderNameProblem(const QString &folder)
{
    if (folder.isEmpty())
        return QStringLiteral("must not be empty: the list would land beside update.ini");
    if (folder.contains(QLatin1Char('/')) || folder.contains(QLatin1Char('\\')))
        return QStringLiteral("must be one folder name, without \"/\" or \"\\\"");
    if (folder.startsWith(QLatin1Char('.')))
        return QStringLiteral("must not start with \".\"");
    if (folder.contains(QLatin1Char('?')))
        return QStringLiteral("\"?\" would start the query part of the addresses");
    if (folder.compare(QLatin1String("update.ini"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("would collide with update.ini");
    return publishPathProblem(folder);
}

QString sizeText(quint64 bytes)
{
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    return QStringLiteral("%1 MiB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

} // namespace

Publisher::Publisher(const PublishOptions &options, QTextStream &out, QTextStream &err)
    : m_options(options)
    , m_out(out)
    , m_err(err)
{
}

void Publisher::refuse(const QString &message)
{
    m_err << Program << ": refused: " << message << '\n';
    m_err.flush();
}

void Publisher::fail(const QString &message)
{
    m_err << Program << ": failed: " << message << '\n';
    m_err.flush();
}

bool Publisher::checkArguments()
{
    QString message;
    if (!pathCodecForName(m_options.pathEncoding, m_codec, message)) {
        refuse(message);
        return false;
    }
    const QString folderProblem = folderNameProblem(m_options.folder);
    if (!folderProblem.isEmpty()) {
        refuse(QStringLiteral("--folder \"%1\": %2").arg(displayPath(m_options.folder), folderProblem));
        return false;
    }
    if (!m_options.url.isEmpty() && !checkUpdateUrl(m_options.url, message)) {
        refuse(message);
        return false;
    }
    const QFileInfo release(m_options.releaseDir);
    if (!release.isDir()) {
        refuse(QStringLiteral("RELEASE_DIR \"%1\" is not a folder").arg(m_options.releaseDir));
        return false;
    }
    m_releaseDir = release.canonicalFilePath();
    m_outDir = QDir::cleanPath(QFileInfo(m_options.outDir).absoluteFilePath());
    m_versionDir = m_outDir + QLatin1Char('/') + m_options.folder;

    const QFileInfo out(m_outDir);
    if (out.exists() && !out.isDir()) {
        refuse(QStringLiteral("OUT_DIR \"%1\" is not a folder").arg(m_options.outDir));
        return false;
    }
    const QString realOut = resolvedPath(m_outDir);
    if (isInsideOrSame(realOut, m_releaseDir)) {
        refuse(QStringLiteral("OUT_DIR \"%1\" is inside RELEASE_DIR \"%2\"").arg(m_options.outDir, m_options.releaseDir));
        return false;
    }
    if (isInsideOrSame(m_releaseDir, realOut)) {
        refuse(QStringLiteral("RELEASE_DIR \"%1\" is inside OUT_DIR \"%2\"").arg(m_options.releaseDir, m_options.outDir));
        return false;
    }
    const QFileInfo descriptor(m_outDir + QStringLiteral("/update.ini"));
    if (descriptor.exists() && !descriptor.isFile()) {
        refuse(QStringLiteral("\"%1\" exists and is not a file").arg(descriptor.filePath()));
        return false;
    }
    const QFileInfo version(m_versionDir);
    if (version.exists() || version.isSymLink()) {
        if (!m_options.replace) {
            refuse(QStringLiteral("the version folder \"%1\" exists: publish under a new --folder, "
                                  "or give --replace").arg(m_versionDir));
            return false;
        }
        if (!version.isDir() || version.isSymLink()) {
            refuse(QStringLiteral("\"%1\" exists and is not a folder").arg(m_versionDir));
            return false;
        }
    }
    return true;
}

int Publisher::run()
{
    if (!checkArguments())
        return 2;

    UpdateDescriptor descriptor;
    descriptor.updateType = m_options.optional ? 0 : 1;
    descriptor.folder = m_options.folder;
    descriptor.version = m_options.version;
    QByteArray descriptorBytes;
    QString message;
    if (!updateDescriptorBytes(descriptor, descriptorBytes, message)) {
        refuse(message);
        return 2;
    }

    ReleaseScanner scanner(m_releaseDir, m_options.excludes, m_codec);
    if (!scanner.scan()) {
        const QStringList problems = scanner.problems();
        for (const QString &problem : problems)
            refuse(problem);
        return 2;
    }

    const bool createdOut = !QFileInfo::exists(m_outDir);
    if (!writeTree(scanner, descriptorBytes)) {
        if (createdOut)
            QDir().rmdir(m_outDir);  // only succeeds when nothing is left inside
        return 1;
    }

    const ReleaseFileMap files = scanner.files();
    m_out << QStringLiteral("Published %1 files (%2) in \"%3\" and wrote \"%4/update.ini\" (%5 update, version \"%6\").\n")
                 .arg(files.size())
                 .arg(sizeText(scanner.totalBytes()), m_versionDir, m_outDir,
                      m_options.optional ? QStringLiteral("optional") : QStringLiteral("forced"),
                      m_options.version);
    if (!m_options.url.isEmpty())
        m_out << addressReport(m_options.url, m_options.folder, files.firstKey());
    m_out.flush();
    return 0;
}

bool Publisher::writeTree(const ReleaseScanner &scanner, const QByteArray &descriptor)
{
    if (!QDir().mkpath(m_outDir)) {
        fail(QStringLiteral("cannot create OUT_DIR \"%1\"").arg(m_outDir));
        return false;
    }
    // The new version folder grows under a hidden name inside OUT_DIR (one file
    // system, so the move into place is a rename) and disappears on any failure.
    QTemporaryDir staging(m_outDir + QStringLiteral("/.") + m_options.folder + QStringLiteral(".new-XXXXXX"));
    if (!staging.isValid()) {
        fail(QStringLiteral("cannot create a folder in \"%1\": %2").arg(m_outDir, staging.errorString()));
        return false;
    }
    // A temporary folder is private (0700); the published one must be readable
    // by the web server's user.
    QFile::setPermissions(staging.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                              | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                              | QFileDevice::ReadOther | QFileDevice::ExeOther);
    const QDir stagingDir(staging.path());

    const ReleaseFileMap files = scanner.files();
    QVector<HashJob> jobs;
    jobs.reserve(files.size());
    QSet<QString> folders;
    for (const ReleaseFile &file : files) {
        const QString folder = file.path.section(QLatin1Char('/'), 0, -2);
        if (!folder.isEmpty() && !folders.contains(folder)) {
            if (!stagingDir.mkpath(folder)) {
                fail(QStringLiteral("cannot create \"%1\"").arg(stagingDir.filePath(folder)));
                return false;
            }
            folders.insert(folder);
        }
        jobs.append({file.sourcePath, stagingDir.filePath(file.path)});
    }

    ParallelHasher hasher;
    if (stderrIsTerminal())
        hasher.setProgressLabel(QStringLiteral("Copying and hashing"));
    const QVector<HashResult> results = hasher.run(jobs, scanner.totalBytes());

    // The list records what was copied, so a file that changed during the run
    // is still described correctly.
    QByteArray list;
    int index = 0;
    for (const ReleaseFile &file : files) {
        const HashResult &result = results.at(index++);
        if (!result.ok) {
            if (!result.error.isEmpty())
                fail(result.error);
            continue;
        }
        list += fileListLine(result.md5, result.size, file.listPath) + "\r\n";
    }
    for (const HashResult &result : results) {
        if (!result.ok)
            return false;
    }

    QFile listFile(stagingDir.filePath(QStringLiteral("md5.txt")));
    if (!listFile.open(QIODevice::WriteOnly | QIODevice::NewOnly) || listFile.write(list) != list.size()
        || !listFile.flush()) {
        fail(QStringLiteral("cannot write \"%1\": %2").arg(listFile.fileName(), listFile.errorString()));
        return false;
    }
    listFile.close();

    QString message;
    if (!moveFolderIntoPlace(staging.path(), m_versionDir, m_options.replace, message)) {
        fail(message);
        return false;
    }
    // What lies at the staging path now (the old version after a swap, or
    // nothing) is removed by QTemporaryDir.

    QSaveFile descriptorFile(m_outDir + QStringLiteral("/update.ini"));
    if (!descriptorFile.open(QIODevice::WriteOnly) || descriptorFile.write(descriptor) != descriptor.size()
        || !descriptorFile.commit()) {
        fail(QStringLiteral("cannot write \"%1\": %2").arg(descriptorFile.fileName(), descriptorFile.errorString()));
        return false;
    }
    return true;
}
