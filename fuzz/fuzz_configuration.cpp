// system.cfg as start-up reads it (readConfiguration), then the checks start-up
// makes of what it read: every address of the URL list, and the proxy.
#include "fuzzinput.h"
#include "app/startup.h"
#include "net/proxychoice.h"
#include "ui/cupdateerror.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

namespace {

// Kept for the whole process and never destroyed: torn down by static destructors
// after the fuzzer's last run, the offscreen platform leaves allocations behind that
// the leak check would report.
QApplication *application = nullptr;
CUpdateError *errorDialog = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    application = new QApplication(*argc, *argv);
    // Made here, not in the first run: what it sets up once (fonts) and keeps is
    // no leak of that run.
    errorDialog = new CUpdateError;
    errorDialog->setDownloadUrl(QStringLiteral("http://127.0.0.1/download"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir exeDir;
    static qint64 run = 0;
    QFile file(exeDir.filePath(QStringLiteral("system.cfg")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(fuzzBytes(data, size));
    // A time stamp of its own each time: QSettings keeps what it read of a file of
    // the same name, size and time stamp.
    file.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000 + ++run), QFileDevice::FileModificationTime);
    file.close();
    const RunValues values = readConfiguration(exeDir.path(), {}, errorDialog);
    for (const QString &address : values.updateUrls)
        QUrl(address, QUrl::TolerantMode).isValid();
    ProxyChoice(values.proxy).isValid();
    return 0;
}
