// Renders the three dialogs as a user sees them, one PNG each, for the README:
//
//   QT_QPA_PLATFORM=offscreen screenshots <output folder>
//
// The Chinese texts need a CJK font known to fontconfig (fonts-wqy-microhei).

#include "download/cdownloadthread.h"
#include "ui/cupdateerror.h"
#include "ui/cupdatenotice.h"
#include "ui/cupdateprogress.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTextStream>
#include <QWidget>

namespace {

bool save(QWidget &dialog, const QDir &folder, const QString &name)
{
    const QString path = folder.absoluteFilePath(name);
    const QPixmap shot = dialog.grab();
    if (shot.size() != QSize(640, 455) || !shot.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    QTextStream(stdout) << path << '\n';
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: screenshots <output folder>\n";
        return 2;
    }
    const QDir folder(args.at(1));
    if (!QDir().mkpath(folder.absolutePath())) {
        QTextStream(stderr) << "cannot create " << folder.absolutePath() << '\n';
        return 1;
    }

    bool ok = true;

    CUpdateNotice notice;
    notice.setVersion(QStringLiteral("2.1.0.5"));
    ok = save(notice, folder, QStringLiteral("notice.png")) && ok;

    {
        // The dialog needs a worker to connect to. One with nothing to fetch ends its
        // run at once; the bars are then set by hand as in the middle of a download.
        QTemporaryDir tmp;
        if (!tmp.isValid())
            return 1;
        CDownloadThread worker(QStringLiteral("http://127.0.0.1:9/"), QDir(tmp.path()), QDir(tmp.path()),
                               {}, nullptr);
        {
            CUpdateProgress progress(&worker);
            progress.onDownloadStarted(QFileInfo(tmp.filePath(QStringLiteral("bin/core.dll"))), 2, 5);
            progress.onDownloadProgress(3 * 1024 * 1024, 5 * 1024 * 1024);
            ok = save(progress, folder, QStringLiteral("progress.png")) && ok;
        }
        worker.wait();
    }

    CUpdateError error;
    error.setDownloadUrl(QStringLiteral("https://example.com/download"));
    error.setMessage(QStringLiteral("更新失败"), QStringLiteral("下载更新文件core.dll网络错误"), true);
    ok = save(error, folder, QStringLiteral("error.png")) && ok;

    return ok ? 0 : 1;
}
