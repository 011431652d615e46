#include "support/linuxtools.h"

#include "support/publishrun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr int ToolTimeoutMs = 120000;

#ifdef Q_OS_WIN
using WineToUnix = char *(__cdecl *)(const wchar_t *);
using WineToDos = wchar_t *(__cdecl *)(const char *);
// Through void (*)(), which GCC accepts as a cast between any function types.
using AnyFunction = void (*)();

AnyFunction wineExport(const char *name)
{
    return reinterpret_cast<AnyFunction>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
}

/// The Windows path of a Linux file, "" outside Wine.
QString windowsPath(const QString &linuxName)
{
    const auto toDos = reinterpret_cast<WineToDos>(wineExport("wine_get_dos_file_name"));
    if (!toDos)
        return QString();
    wchar_t *dosName = toDos(linuxName.toUtf8().constData());
    if (!dosName)
        return QString();
    const QString result = QDir::fromNativeSeparators(QString::fromWCharArray(dosName));
    HeapFree(GetProcessHeap(), 0, dosName);
    return result;
}

bool isWindowsAbsolute(const QString &text)
{
    return text.size() > 2 && text.at(0).isLetter() && text.at(1) == QLatin1Char(':')
        && (text.at(2) == QLatin1Char('/') || text.at(2) == QLatin1Char('\\'));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
#endif

} // namespace

#ifdef Q_OS_WIN
QString linuxToolPath(const QString &name)
{
    for (const char *folder : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/", "/usr/local/sbin/", "/bin/", "/sbin/"}) {
        const QString candidate = QString::fromLatin1(folder) + name;
        const QString windowsName = windowsPath(candidate);
        if (!windowsName.isEmpty() && QFileInfo(windowsName).isFile())
            return candidate;
    }
    return QString();
}

QString linuxPath(const QString &path)
{
    const auto toUnix = reinterpret_cast<WineToUnix>(wineExport("wine_get_unix_file_name"));
    if (!toUnix)
        return QString();
    const QString native = QDir::toNativeSeparators(QDir(path).absolutePath());
    char *unixName = toUnix(reinterpret_cast<const wchar_t *>(native.utf16()));
    if (!unixName)
        return QString();
    const QString result = QString::fromUtf8(unixName);
    HeapFree(GetProcessHeap(), 0, unixName);
    return result;
}

ToolRun runLinuxTool(const QString &name, const QStringList &arguments, const QByteArray &input,
                     const QString &workingDir)
{
    ToolRun run;
    const QString tool = linuxToolPath(name);
    QTemporaryDir exchange;
    if (tool.isEmpty() || !exchange.isValid()) {
        run.err = name.toUtf8() + " is not installed";
        return run;
    }
    QFile in(exchange.filePath(QStringLiteral("in")));
    if (!in.open(QIODevice::WriteOnly) || in.write(input) != input.size())
        return run;
    in.close();
    const QString files = linuxPath(exchange.path());
    // The status is written last, under its final name by a rename, so that it
    // appearing means the output is complete.
    const QString script = QStringLiteral(
        "cd \"$1\" || exit; files=$2; shift 2; "
        "\"$@\" <\"$files/in\" >\"$files/out\" 2>\"$files/err\"; "
        "echo $? >\"$files/status.tmp\"; mv \"$files/status.tmp\" \"$files/status\"");
    QStringList shellArguments{QStringLiteral("-c"), script, QStringLiteral("sh"),
                               linuxPath(workingDir.isEmpty() ? QDir::currentPath() : workingDir), files, tool};
    for (const QString &argument : arguments)
        shellArguments << (isWindowsAbsolute(argument) ? linuxPath(argument) : argument);
    if (!QProcess::startDetached(QStringLiteral("/bin/sh"), shellArguments))
        return run;
    const QString status = exchange.filePath(QStringLiteral("status"));
    QDeadlineTimer deadline(ToolTimeoutMs);
    while (!QFileInfo::exists(status) && !deadline.hasExpired())
        QThread::msleep(10);
    bool ok = false;
    const int code = readAll(status).trimmed().toInt(&ok);
    if (!ok)
        return run;
    run.exitCode = code;
    run.out = readAll(exchange.filePath(QStringLiteral("out")));
    run.err = readAll(exchange.filePath(QStringLiteral("err")));
    return run;
}
#else
QString linuxToolPath(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    if (!found.isEmpty())
        return found;
    return QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"),
                                                 QStringLiteral("/sbin")});
}

QString linuxPath(const QString &path)
{
    return path;
}

ToolRun runLinuxTool(const QString &name, const QStringList &arguments, const QByteArray &input,
                     const QString &workingDir)
{
    const QString tool = linuxToolPath(name);
    return runProgram(tool.isEmpty() ? name : tool, arguments, input, QProcessEnvironment::systemEnvironment(),
                      workingDir);
}
#endif

void stopChild(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}
