#include "publish/addressreport.h"

#include <QUrl>

namespace {

// The key an object store would need: the address's path without its leading "/".
QString literalKey(const QString &address)
{
    const QUrl url(address, QUrl::TolerantMode);
    QString path = url.path(QUrl::FullyEncoded);
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return path;
}

} // namespace

UpdateAddresses updateAddresses(const QString &url, const QString &folder, const QString &samplePath)
{
    UpdateAddresses addresses;
    addresses.descriptor = url + QStringLiteral("/update.ini");
    addresses.base = url + folder + QStringLiteral("/");
    addresses.fileList = addresses.base + QStringLiteral("/md5.txt");
    addresses.sampleFile = addresses.base + samplePath;
    return addresses;
}

bool checkUpdateUrl(const QString &url, QString &errorMessage)
{
    if (!QUrl(url, QUrl::TolerantMode).isValid()) {
        errorMessage = QStringLiteral("--url \"%1\" is not a valid address; the updater would stop at start-up").arg(url);
        return false;
    }
    const QString descriptor = url + QStringLiteral("/update.ini");
    if (!QUrl(descriptor, QUrl::TolerantMode).isValid()) {
        errorMessage = QStringLiteral("the descriptor address \"%1\" is not valid; the updater would stop").arg(descriptor);
        return false;
    }
    if (url.contains(QLatin1Char('?')) || url.contains(QLatin1Char('#'))) {
        errorMessage = QStringLiteral("--url \"%1\" holds a query or fragment; the folder and the file paths "
                                      "would be appended to it, not to the path").arg(url);
        return false;
    }
    return true;
}

QString addressReport(const QString &url, const QString &folder, const QString &samplePath)
{
    const UpdateAddresses a = updateAddresses(url, folder, samplePath);
    QString text = QStringLiteral("With URL=%1 in system.cfg the updater requests:\n").arg(url)
                 + QStringLiteral("  descriptor:  %1\n").arg(a.descriptor)
                 + QStringLiteral("  file list:   %1\n").arg(a.fileList)
                 + QStringLiteral("  sample file: %1\n").arg(a.sampleFile);
    if (url.endsWith(QLatin1Char('/'))) {
        text += QStringLiteral("Serve OUT_DIR at %1 with a server that merges \"//\" into \"/\" "
                               "(nginx does by default).\n").arg(url);
    } else {
        // Without the slash the folder name is glued to the last segment of the
        // address, so the version folder is no longer inside OUT_DIR.
        const QString lastSegment = url.section(QLatin1Char('/'), -1);
        const QString sibling = lastSegment + folder;
        text += QStringLiteral("URL does not end in \"/\": the version folder then becomes a sibling named "
                               "\"%1\" beside \"%2\", not \"%2/%3\".\n").arg(sibling, lastSegment, folder)
              + QStringLiteral("Either end URL with \"/\" and serve OUT_DIR at %1/, or serve OUT_DIR at %1/ and "
                               "OUT_DIR/%2 at %3 (a server that merges \"//\" into \"/\").\n")
                    .arg(url, folder, a.base);
    }
    text += QStringLiteral("Note: servers that do not merge \"//\" (object stores) need these literal keys: "
                           "\"%1\", \"%2\" and each file under \"%3\".\n")
                .arg(literalKey(a.descriptor), literalKey(a.fileList), literalKey(a.base));
    return text;
}
