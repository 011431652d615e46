// Runs one CDownloadThread over a published file list, the way the updater's
// silent console update does: the worker's finished() quits the application loop.
//
//   bench-download BASE_URL LIST_FILE CACHE_DIR APP_DIR
//
// BASE_URL is the version folder's address ending in "/", LIST_FILE a local copy
// of its md5.txt. Prints "ok <files> <bytes>" or the failure text; exit code 0 on
// success, 1 on failure, 2 on bad arguments.

#include "download/cdownloadthread.h"
#include "update/filelist.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (args.size() != 5) {
        err << "usage: bench-download BASE_URL LIST_FILE CACHE_DIR APP_DIR\n";
        return 2;
    }
    QFile list(args.at(2));
    if (!list.open(QIODevice::ReadOnly)) {
        err << "cannot read " << args.at(2) << '\n';
        return 2;
    }
    const QList<UpdateFileEntry> files = parseFileList(list.readAll()).values();
    quint64 bytes = 0;
    for (const UpdateFileEntry &entry : files)
        bytes += entry.size;

    CDownloadThread worker(args.at(1), QDir(args.at(3)), QDir(args.at(4)), files, nullptr);
    QObject::connect(&worker, &QThread::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    worker.start(QThread::InheritPriority);
    app.exec();
    worker.wait();
    QObject::disconnect(&worker, nullptr, nullptr, nullptr);
    if (!worker.isSuccess()) {
        err << worker.errorMsg() << '\n';
        return 1;
    }
    out << "ok " << files.size() << ' ' << bytes << '\n';
    return 0;
}
