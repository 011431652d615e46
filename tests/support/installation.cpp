#include "support/installation.h"

#include "support/linuxtools.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSettings>
#include <QThread>

#ifdef Q_OS_WIN
#include <windows.h>
#include <tlhelp32.h>
#endif

namespace {

constexpr char UnitSeparator = '\x1f';

QString recordPath(const QString &scratch)
{
    return scratch + QStringLiteral("/host-calls.txt");
}

QProcessEnvironment updaterEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

} // namespace

Installation::Installation(const QString &exeSubfolder)
{
    if (!m_temp.isValid()) {
        m_error = QStringLiteral("no temporary folder: ") + m_temp.errorString();
        return;
    }
    m_base = QFileInfo(m_temp.path()).canonicalFilePath();
    m_root = m_base + QStringLiteral("/Host");
    m_exeDir = exeSubfolder.isEmpty() ? m_root : m_root + QLatin1Char('/') + exeSubfolder;
    if (!QDir().mkpath(m_exeDir) || !QDir().mkpath(scratch())) {
        m_error = QStringLiteral("cannot create ") + m_exeDir;
        return;
    }
    if (!QFile::copy(QStringLiteral(UPDATER_EXE), exePath())) {
        m_error = QStringLiteral("cannot copy " UPDATER_EXE " to ") + exePath();
        return;
    }
    QFile(exePath()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                    | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                    | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                    | QFileDevice::ExeOther);
}

QString Installation::exePath() const
{
    return m_exeDir + QLatin1Char('/') + QFileInfo(QStringLiteral(UPDATER_EXE)).fileName();
}

QString Installation::scratch() const
{
    return m_base + QStringLiteral("/scratch");
}

bool Installation::writeConfig(const QMap<QString, QString> &updateKeys) const
{
    QByteArray bytes = "[Update]\n";
    for (auto it = updateKeys.cbegin(); it != updateKeys.cend(); ++it)
        bytes += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
    return writeConfigBytes(bytes);
}

bool Installation::writeConfigBytes(const QByteArray &bytes) const
{
    QFile file(m_exeDir + QStringLiteral("/system.cfg"));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

bool Installation::installHost(const QString &relativePath)
{
    m_hostPath = QDir::cleanPath(m_exeDir + QLatin1Char('/') + relativePath);
    QDir().mkpath(QFileInfo(m_hostPath).path());
    QFile::remove(m_hostPath);
    return QFile::copy(QStringLiteral(TEST_HOST_EXE), m_hostPath);
}

QString Installation::stayPath() const
{
    return scratch() + QStringLiteral("/host-stay");
}

QList<QStringList> Installation::hostCalls(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    // Polled, not slept: the host may still be writing its line.
    while (!m_hostPath.isEmpty() && isRunningProcessWith(m_hostPath) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    QList<QStringList> calls;
    QFile file(recordPath(scratch()));
    if (!file.open(QIODevice::ReadOnly))
        return calls;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        QStringList arguments;
        QList<QByteArray> fields = line.split(UnitSeparator);
        fields.removeLast(); // every argument is followed by a separator
        for (const QByteArray &field : fields)
            arguments.append(QString::fromUtf8(field));
        calls.append(arguments);
    }
    return calls;
}

UpdaterRun Installation::run(const QStringList &arguments, int timeoutMs,
                             const QString &workingDir) const
{
    UpdaterRun result;
    std::unique_ptr<QProcess> process = start(arguments, workingDir);
    if (!process->waitForStarted(10000))
        return result;
    if (!process->waitForFinished(timeoutMs)) {
        result.timedOut = true;
        process->kill();
        process->waitForFinished(5000);
    }
    result.out = process->readAllStandardOutput();
    result.err = process->readAllStandardError();
    if (!result.timedOut && process->exitStatus() == QProcess::NormalExit)
        result.exitCode = process->exitCode();
    return result;
}

UpdaterRun Installation::runInLocale(const QStringList &arguments, const QString &locale) const
{
    UpdaterRun result;
#ifdef Q_OS_WIN
    const QStringList command = QStringList{QStringLiteral("LANG=") + locale, QStringLiteral("LC_ALL=") + locale,
                                            QStringLiteral("WINEPATH=") + qEnvironmentVariable("PATH"),
                                            QStringLiteral("wine"), exePath()}
                              + arguments;
    const ToolRun run = runLinuxTool(QStringLiteral("env"), command, QByteArray(), m_root);
    result.exitCode = run.exitCode;
    result.out = run.out;
    result.err = run.err;
#else
    Q_UNUSED(arguments)
    Q_UNUSED(locale)
#endif
    return result;
}

std::unique_ptr<QProcess> Installation::start(const QStringList &arguments, const QString &workingDir,
                                              const QString &outputFile) const
{
    auto process = std::make_unique<QProcess>();
    if (!outputFile.isEmpty())
        process->setStandardOutputFile(outputFile);
    process->setProcessEnvironment(updaterEnvironment());
    process->setWorkingDirectory(workingDir.isEmpty() ? m_root : workingDir);
    if (m_launcher.isEmpty())
        process->start(exePath(), arguments);
    else
        process->start(m_launcher.first(), m_launcher.mid(1) + QStringList{exePath()} + arguments);
    return process;
}

#ifdef Q_OS_WIN
// By image path: a process exists from CreateProcess on, before its own code runs.
bool Installation::isRunningProcessWith(const QString &path)
{
    const QString wanted = QDir::toNativeSeparators(QDir::cleanPath(path));
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        wchar_t image[MAX_PATH * 4];
        DWORD size = DWORD(sizeof image / sizeof image[0]);
        if (QueryFullProcessImageNameW(process, 0, image, &size))
            found = QString::fromWCharArray(image, int(size)).compare(wanted, Qt::CaseInsensitive) == 0;
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}
#else
bool Installation::isRunningProcessWith(const QString &path)
{
    const QByteArray wanted = QFile::encodeName(path);
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        bool isPid = false;
        it.fileName().toInt(&isPid);
        if (!isPid)
            continue;
        QFile cmdline(it.filePath() + QStringLiteral("/cmdline"));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> args = cmdline.readAll().split('\0');
        if (args.contains(wanted))
            return true;
    }
    return false;
}
#endif
