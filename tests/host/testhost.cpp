// A stand-in for the host application in process-level tests, a real program on
// every platform (a Windows executable under Wine), so that starting it, keeping it
// running and replacing it while it runs are the real thing.
//
// Every start appends one line to host-calls.txt in the "scratch" folder of the
// test installation (found by walking up from the program's own folder): each
// argument followed by a unit separator (0x1f), UTF-8. "--load LIB" loads that
// library first and keeps it loaded, as a host keeps its DLLs; "--stay" then keeps
// the program running until a file "host-stay" appears in the scratch folder (at
// most a minute, so a failed test leaves nothing behind for long).

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QThread>

namespace {

QString scratchFolder()
{
    QDir dir(QCoreApplication::applicationDirPath());
    do {
        if (QFileInfo(dir.filePath(QStringLiteral("scratch"))).isDir())
            return dir.filePath(QStringLiteral("scratch"));
    } while (dir.cdUp());
    return QString();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString scratch = scratchFolder();
    if (scratch.isEmpty())
        return 2;

    const int load = arguments.indexOf(QStringLiteral("--load"));
    if (load >= 0) {
        QLibrary library(arguments.value(load + 1));
        if (!library.load())
            return 3;
    }

    QByteArray line;
    for (const QString &argument : arguments)
        line += argument.toUtf8() + '\x1f';
    line += '\n';
    QFile record(scratch + QStringLiteral("/host-calls.txt"));
    if (!record.open(QIODevice::Append) || record.write(line) != line.size())
        return 4;
    record.close();

    if (arguments.value(0) == QLatin1String("--stay")) {
        const QString stay = scratch + QStringLiteral("/host-stay");
        QDeadlineTimer deadline(60000);
        while (!QFileInfo::exists(stay) && !deadline.hasExpired())
            QThread::msleep(10);
    }
    return 0;
}
