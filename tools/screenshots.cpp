// Renders the three dialogs as a user sees them, at 100 %, 150 % and 200 % display
// scaling, one PNG each, for docs/screenshots.md:
//
//   QT_QPA_PLATFORM=offscreen screenshots <output folder>
//
// notice.png, progress.png, error.png and error-long-path.png at 1x; the same names
// with @1.5x and @2x for the other scales. Qt takes its scale factor once, when the
// application object is created, so the program runs itself once per scale:
//
//   screenshots --scale <factor> <output folder>
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
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QWidget>

namespace {

const QStringList Scales = {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};

/// Saves the dialog's picture as name (plus "@<scale>x" when not 1x); the picture must
/// have the dialog's size in device pixels, or the scale did not take effect.
bool save(QWidget &dialog, const QDir &folder, const QString &name, const QString &scale)
{
    const QString suffix = scale == QLatin1String("1") ? QString() : QLatin1Char('@') + scale + QLatin1Char('x');
    const QString file = name + suffix + QStringLiteral(".png");
    const QString path = folder.absoluteFilePath(file);
    const QPixmap shot = dialog.grab();
    const QSize expected = (QSizeF(640, 455) * scale.toDouble()).toSize();
    if (shot.size() != expected || !shot.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << " (" << shot.width() << 'x' << shot.height() << ")\n";
        return false;
    }
    QTextStream(stdout) << path << '\n';
    return true;
}

/// Renders every dialog at the scale this process was started with.
bool renderAll(const QDir &folder, const QString &scale)
{
    bool ok = true;

    CUpdateNotice notice;
    notice.setVersion(QStringLiteral("2.1.0.5"));
    ok = save(notice, folder, QStringLiteral("notice"), scale) && ok;

    {
        // The dialog needs a worker to connect to. One with nothing to fetch ends its
        // run at once; the dialog is then told by hand what a worker with several
        // transfers in flight tells it: the third to fifth of five files begun, the
        // fourth already done, the oldest (the one named) at 60 %.
        QTemporaryDir tmp;
        if (!tmp.isValid())
            return false;
        CDownloadThread worker(QStringLiteral("http://127.0.0.1:9/"), QDir(tmp.path()), QDir(tmp.path()),
                               {}, nullptr);
        {
            CUpdateProgress progress(&worker);
            const QFileInfo core(tmp.filePath(QStringLiteral("bin/core.dll")));
            const QFileInfo plugin(tmp.filePath(QStringLiteral("plugins/render.dll")));
            const QFileInfo data(tmp.filePath(QStringLiteral("data/maps.pak")));
            progress.onDownloadStarted(core, 2, 5);
            progress.onDownloadStarted(plugin, 3, 5);
            progress.onDownloadStarted(data, 4, 5);
            progress.onDownloadFinished(plugin);
            progress.onDownloadProgress(3 * 1024 * 1024, 5 * 1024 * 1024);
            ok = save(progress, folder, QStringLiteral("progress"), scale) && ok;
        }
        worker.wait();
    }

    CUpdateError error;
    error.setDownloadUrl(QStringLiteral("https://example.com/download"));
    error.setMessage(QStringLiteral("更新失败"), QStringLiteral("下载更新文件core.dll网络错误"), true);
    ok = save(error, folder, QStringLiteral("error"), scale) && ok;

    // A message with an installation path deep enough to be shortened.
    error.setMessage(QStringLiteral("更新失败"),
                     QStringLiteral("路径C:/Users/zhangwei/AppData/Local/Programs/ExampleSoft Studio/plugins/"
                                    "imageformats/qjpeg.dll被占用，无法删除!"),
                     true);
    ok = save(error, folder, QStringLiteral("error-long-path"), scale) && ok;
    return ok;
}

/// Runs this program once per scale, with Qt's scale factor set for each.
int renderEveryScale(const QString &folder)
{
    bool ok = true;
    for (const QString &scale : Scales) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), scale);
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--scale"), scale, folder});
        if (!child.waitForFinished(60000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
            QTextStream(stderr) << "rendering at " << scale << "x failed\n";
            ok = false;
        }
    }
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const char *usage = "usage: screenshots [--scale 1|1.5|2] <output folder>\n";
    if (argc != 4 || qstrcmp(argv[1], "--scale") != 0) {
        QCoreApplication app(argc, argv);
        const QStringList args = QCoreApplication::arguments();
        if (args.size() != 2) {
            QTextStream(stderr) << usage;
            return 2;
        }
        if (!QDir().mkpath(args.at(1))) {
            QTextStream(stderr) << "cannot create " << args.at(1) << '\n';
            return 1;
        }
        return renderEveryScale(QDir(args.at(1)).absolutePath());
    }

    const QString scale = QString::fromLocal8Bit(argv[2]);
    if (!Scales.contains(scale)) {
        QTextStream(stderr) << usage;
        return 2;
    }
    // Set here as well, so that one scale can also be rendered by hand.
    qputenv("QT_SCALE_FACTOR", argv[2]);
    // As in the updater itself: both take effect only before the application object.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    const QDir folder(QCoreApplication::arguments().at(3));
    if (!QDir().mkpath(folder.absolutePath())) {
        QTextStream(stderr) << "cannot create " << folder.absolutePath() << '\n';
        return 1;
    }
    return renderAll(folder, scale) ? 0 : 1;
}
