// Start-up: modes, system.cfg and its defaults, the folders, the single-instance
// guard and the configuration errors, in-process (dialogs answered by the test)
// and on the real executable copied into a temporary installation.

#include "app/instanceguard.h"
#include "app/startup.h"
#include "support/installation.h"
#include "support/modalanswerer.h"
#include "support/stdoutcapture.h"
#include "support/testhttpserver.h"
#include "ui/cupdateerror.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSharedMemory>
#include <QtTest>

#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/ipc.h>
#include <sys/shm.h>
#endif

#include <memory>

namespace {

QByteArray record(bool success, bool update, const QString &message)
{
    return "{\"errormsg\":\"" + message.toUtf8() + "\",\"success\":" + (success ? "true" : "false")
        + ",\"update\":" + (update ? "true" : "false") + '}';
}

QList<QStringList> hostCall(const QString &updaterPath)
{
    return {{updaterPath, QStringLiteral("no_check")}};
}

/// The attach count of the guard segment of exeDir: -1 when there is none. Qt keeps
/// a System V segment under the ftok key of a file in the temporary folder whose
/// name is made from the key; read directly, the segment can be observed without
/// attaching to it (attaching and detaching would remove a stale one).
#ifdef Q_OS_WIN
// A Windows file mapping lives exactly as long as someone holds a handle to it, so
// the only question there is whether it exists: 1 when it does, -1 when not.
int segmentAttachCount(const QString &exeDir)
{
    QSharedMemory probe(InstanceGuard::keyFor(exeDir));
    return probe.attach(QSharedMemory::ReadOnly) ? 1 : -1;
}
#else
int segmentAttachCount(const QString &exeDir)
{
    const QString key = InstanceGuard::keyFor(exeDir);
    QString name = QStringLiteral("qipc_sharedmemory_");
    for (const QChar ch : key) {
        if ((ch >= QLatin1Char('a') && ch <= QLatin1Char('z'))
            || (ch >= QLatin1Char('A') && ch <= QLatin1Char('Z')))
            name += ch;
    }
    name += QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex());
    const QByteArray file = QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + name);
    if (!QFile::exists(QString::fromLocal8Bit(file)))
        return -1;
    const key_t unixKey = ftok(file.constData(), 'Q');
    if (unixKey == -1)
        return -1;
    const int id = shmget(unixKey, 0, 0);
    if (id == -1)
        return -1;
    shmid_ds status;
    if (shmctl(id, IPC_STAT, &status) == -1)
        return -1;
    return static_cast<int>(status.shm_nattch);
}
#endif

enum class RecordReader { Pipe, File, ConsoleWindow };

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

#ifdef Q_OS_WIN
// The visible text of the console that process pid is attached to; null when the
// test cannot attach to it.
QString consoleText(qint64 pid)
{
    FreeConsole();
    if (!AttachConsole(DWORD(pid)))
        return QString();
    QString text;
    const HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (screen != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(screen, &info)) {
        const DWORD cells = DWORD(info.dwSize.X) * DWORD(info.dwCursorPosition.Y + 1);
        std::vector<wchar_t> buffer(cells);
        DWORD read = 0;
        if (ReadConsoleOutputCharacterW(screen, buffer.data(), cells, COORD{0, 0}, &read))
            text = QString::fromWCharArray(buffer.data(), int(read));
    }
    if (screen != INVALID_HANDLE_VALUE)
        CloseHandle(screen);
    FreeConsole();
    return text;
}

// Types "<updater> console" into a console window of its own (cmd /k), as a user
// would, and returns the record the window then shows ("" when none appears within
// 20 s; null when no console window can be made).
QString recordInConsoleWindow(const QString &updater, const QString &expected)
{
    QProcess cmd;
    cmd.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *arguments) {
        arguments->flags |= CREATE_NEW_CONSOLE;
        arguments->startupInfo->dwFlags &= ~DWORD(STARTF_USESTDHANDLES);
        arguments->inheritHandles = false;
    });
    cmd.setNativeArguments(QStringLiteral("/k \"%1\" console").arg(QDir::toNativeSeparators(updater)));
    cmd.start(QStringLiteral("cmd.exe"), QStringList());
    if (!cmd.waitForStarted())
        return QString();
    QString record;
    bool attached = false;
    QDeadlineTimer deadline(20000);
    while (!record.contains(expected) && !deadline.hasExpired()) {
        QThread::msleep(100);
        const QString text = consoleText(cmd.processId());
        attached = attached || !text.isNull();
        const int begin = text.indexOf(QLatin1Char('{'));
        record = begin < 0 ? QString() : text.mid(begin, text.lastIndexOf(QLatin1Char('}')) - begin + 1);
    }
    cmd.kill();
    cmd.waitForFinished();
    return attached ? record : QString();
}
#endif

QString expand(QString text, const Installation &inst)
{
    text.replace(QLatin1String("{base}"), inst.base());
    text.replace(QLatin1String("{root}"), inst.root());
    text.replace(QLatin1String("{exeDir}"), inst.exeDir());
    return text;
}

QMap<QString, QString> keys(const QString &description, const Installation &inst)
{
    QMap<QString, QString> map;
    const QStringList pairs = description.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &pair : pairs) {
        const int eq = pair.indexOf(QLatin1Char('='));
        map.insert(pair.left(eq), expand(pair.mid(eq + 1), inst));
    }
    return map;
}

/// One in-process start-up, as main() would do it with exeDir as the program folder.
struct InProcessRun
{
    int exitCode = -1;
    QByteArray out;
    QList<ModalAnswerer::Seen> dialogs;
};

InProcessRun startInProcess(const QString &exeDir, const QStringList &arguments,
                            QList<ModalAnswerer::Action> answers = {})
{
    InProcessRun run;
    CUpdateError errorDialog;
    QNetworkAccessManager manager;
    ModalAnswerer answerer(answers);
    StdoutCapture capture;
    run.exitCode = startUpdater(exeDir, arguments, &errorDialog, &manager);
    run.out = capture.bytes();
    run.dialogs = answerer.seen();
    return run;
}

} // namespace

Q_DECLARE_METATYPE(RecordReader)

class TestStartup : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();

    void modeSelection_data();
    void modeSelection();
    void restartMode_data();
    void restartMode();
    void restartWithoutHost();
    void noConfigurationConsole_data();
    void noConfigurationConsole();
    void noConfigurationInteractive();
    void invalidUrl();

    void folders_data();
    void folders();
    void foldersOfTheExecutable();

    void guardAgainstRunningUpdater();
    void guardInteractive();
    void guardSeveralAtOnce();

    void cacheOverlap_data();
    void cacheOverlap();
    void cacheOverlapInteractive();

private:
    TestHttpServer m_server;
};

void TestStartup::initTestCase()
{
    QVERIFY(m_server.start());
}

void TestStartup::modeSelection_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("console");

    QTest::newRow("console") << QStringList{QStringLiteral("console")} << true;
    QTest::newRow("CONSOLE") << QStringList{QStringLiteral("CONSOLE")} << true;
    QTest::newRow("Console") << QStringList{QStringLiteral("Console")} << true;
    QTest::newRow("console with more") << QStringList{QStringLiteral("console"), QStringLiteral("x")} << true;
    QTest::newRow("console2") << QStringList{QStringLiteral("console2")} << false;
    QTest::newRow("console second") << QStringList{QStringLiteral("x"), QStringLiteral("console")} << false;
    // A repair reports like a console run.
    QTest::newRow("Repair") << QStringList{QStringLiteral("Repair")} << true;
    QTest::newRow("repair second") << QStringList{QStringLiteral("console"), QStringLiteral("repair")} << true;
    QTest::newRow("no argument") << QStringList() << false;
}

void TestStartup::modeSelection()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, console);

    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    // No URL: the run stops at the address check, in the way its mode calls for.
    QVERIFY(inst.writeConfig({}));

    const InProcessRun run = startInProcess(inst.exeDir(), arguments);
    QCOMPARE(run.exitCode, 1);
    if (console) {
        QCOMPARE(run.out, record(false, false, QStringLiteral("升级地址不合法:")));
        QCOMPARE(run.dialogs.size(), 0);
        QCOMPARE(inst.hostCalls(), QList<QStringList>());
    } else {
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(run.dialogs.size(), 1);
        QCOMPARE(run.dialogs.at(0).texts.value(QStringLiteral("label")), QStringLiteral("配置错误"));
        QCOMPARE(run.dialogs.at(0).texts.value(QStringLiteral("error")), QStringLiteral("升级地址不合法:"));
        QCOMPARE(run.dialogs.at(0).visibleButtons, QStringList());
        QCOMPARE(inst.hostCalls(), hostCall(QCoreApplication::applicationFilePath()));
    }
}

void TestStartup::restartMode_data()
{
    QTest::addColumn<QString>("argument");
    QTest::newRow("restart") << QStringLiteral("restart");
    QTest::newRow("RESTART") << QStringLiteral("RESTART");
}

void TestStartup::restartMode()
{
    QFETCH(QString, argument);
    Installation inst(QStringLiteral("bin"));
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    // No system.cfg (so no URL) and another updater holding the guard: neither matters.
    QSharedMemory other(InstanceGuard::keyFor(inst.exeDir()));
    QVERIFY(other.create(1));

    const UpdaterRun run = inst.run({argument});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(inst.hostCalls(), hostCall(inst.exePath()));
}

void TestStartup::restartWithoutHost()
{
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.writeConfig({{QStringLiteral("ExeName"), QStringLiteral("missing/Host.exe")}}));
    const UpdaterRun run = inst.run({QStringLiteral("restart")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
}

void TestStartup::noConfigurationConsole_data()
{
    QTest::addColumn<RecordReader>("reader");
    QTest::newRow("standard output a pipe") << RecordReader::Pipe;
    QTest::newRow("standard output a file") << RecordReader::File;
    QTest::newRow("started from a console window") << RecordReader::ConsoleWindow;
}

void TestStartup::noConfigurationConsole()
{
    QFETCH(RecordReader, reader);
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    const QByteArray expected = "{\"errormsg\":\"升级地址不合法:\",\"success\":false,\"update\":false}";
    if (reader == RecordReader::ConsoleWindow) {
#ifdef Q_OS_WIN
        const QString shown = recordInConsoleWindow(inst.exePath(), QString::fromUtf8(expected));
        if (shown.isNull())
            QSKIP("no console window could be made here (Wine without a display)");
        QCOMPARE(shown, QString::fromUtf8(expected));
#else
        QSKIP("only a Windows program can be started without standard output");
#endif
    } else if (reader == RecordReader::File) {
        const QString file = inst.scratch() + QStringLiteral("/record.json");
        std::unique_ptr<QProcess> process = inst.start({QStringLiteral("console")}, QString(), file);
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->exitCode(), 1);
        QCOMPARE(readFile(file), expected);
    } else {
        const UpdaterRun run = inst.run({QStringLiteral("console")});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, expected);
    }
    QCOMPARE(inst.hostCalls(), QList<QStringList>());
}

void TestStartup::noConfigurationInteractive()
{
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost(QStringLiteral("Host.exe")));
    const InProcessRun run = startInProcess(inst.exeDir(), {}, {ModalAnswerer::pressEscape()});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.dialogs.size(), 1);
    QCOMPARE(run.dialogs.at(0).className, QStringLiteral("CUpdateError"));
    QCOMPARE(run.dialogs.at(0).texts.value(QStringLiteral("label")), QStringLiteral("配置错误"));
    QCOMPARE(run.dialogs.at(0).texts.value(QStringLiteral("error")), QStringLiteral("升级地址不合法:"));
    QCOMPARE(run.dialogs.at(0).visibleButtons, QStringList());
    QCOMPARE(inst.hostCalls(), hostCall(QCoreApplication::applicationFilePath()));
}

void TestStartup::invalidUrl()
{
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), QStringLiteral("http://[::1")},
                              {QStringLiteral("DownLoadUrl"), QStringLiteral("http://127.0.0.1/dl")}}));
    const UpdaterRun run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, record(false, false, QStringLiteral("升级地址不合法:http://[::1")));
    QCOMPARE(inst.hostCalls(), QList<QStringList>());
    // Nothing beyond the address check happened: no cache folder was made.
    QVERIFY(!QFileInfo::exists(inst.exeDir() + QStringLiteral("/update")));
}

void TestStartup::folders_data()
{
    QTest::addColumn<QString>("exeSubfolder");
    QTest::addColumn<QString>("config");     // key=value;... with {base} {root} {exeDir}
    QTest::addColumn<QString>("rootDir");    // expected, relative to base
    QTest::addColumn<QString>("hostExe");
    QTest::addColumn<QString>("cacheDir");
    QTest::addColumn<int>("connections");

    QTest::newRow("defaults") << QString() << QString()
                              << "Host" << "Host/Host.exe" << "Host/update" << 6;
    QTest::newRow("bin") << "bin" << QString() << "Host" << "Host/bin/Host.exe" << "Host/bin/update" << 6;
    QTest::newRow("BIN") << "BIN" << QString() << "Host" << "Host/BIN/Host.exe" << "Host/BIN/update" << 6;
    QTest::newRow("bins is no bin") << "bins" << QString()
                                    << "Host/bins" << "Host/bins/Host.exe" << "Host/bins/update" << 6;
    QTest::newRow("relative ExeName in bin") << "bin" << "ExeName=tools/Run.exe"
                                             << "Host" << "Host/bin/tools/Run.exe" << "Host/bin/update" << 6;
    QTest::newRow("absolute ExeName") << "bin" << "ExeName={base}/other/Run.exe"
                                      << "Host" << "other/Run.exe" << "Host/bin/update" << 6;
    QTest::newRow("cache three levels deep") << QString() << "Cache={base}/c1/c2/c3"
                                             << "Host" << "Host/Host.exe" << "c1/c2/c3" << 6;
    QTest::newRow("relative cache") << "bin" << "Cache=rel/cache"
                                    << "Host" << "Host/bin/Host.exe" << "scratch/rel/cache" << 6;
    // Downloads in flight: 1-16, anything else the default.
    for (const QString &connections : {QStringLiteral("1"), QStringLiteral("16"), QStringLiteral(" 3 ")}) {
        QTest::addRow("Connections=%s", qPrintable(connections))
            << QString() << "Connections=" + connections << "Host" << "Host/Host.exe" << "Host/update"
            << connections.trimmed().toInt();
    }
    for (const QString &connections : {QStringLiteral("0"), QStringLiteral("17"), QStringLiteral("-2"),
                                       QStringLiteral("four"), QStringLiteral("2.5")}) {
        QTest::addRow("Connections=%s", qPrintable(connections))
            << QString() << "Connections=" + connections << "Host" << "Host/Host.exe" << "Host/update" << 6;
    }
}

void TestStartup::folders()
{
    QFETCH(QString, exeSubfolder);
    QFETCH(QString, config);
    QFETCH(QString, rootDir);
    QFETCH(QString, hostExe);
    QFETCH(QString, cacheDir);
    QFETCH(int, connections);

    Installation inst(exeSubfolder);
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.writeConfig(keys(config, inst)));
    const QString oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(inst.scratch()));

    CUpdateError dialog;
    RunValues values = readConfiguration(inst.exeDir(), {}, &dialog);
    prepareDirectories(values);
    QDir::setCurrent(oldCurrent);

    const QDir base(inst.base());
    QCOMPARE(base.relativeFilePath(values.rootDir.absolutePath()), rootDir);
    QCOMPARE(base.relativeFilePath(values.hostExePath), hostExe);
    QCOMPARE(base.relativeFilePath(values.cacheDir.absolutePath()), cacheDir);
    QVERIFY(values.cacheDir.isAbsolute());
    QVERIFY(QFileInfo(values.cacheDir.absolutePath()).isDir());
    QCOMPARE(values.exeDir, inst.exeDir());
    QCOMPARE(values.connections, connections);
    // Over HTTP/2: a configured value (no row configures 6), otherwise 16.
    QCOMPARE(values.http2Streams, connections == 6 ? 16 : connections);
}

void TestStartup::foldersOfTheExecutable()
{
    // The real executable finds its own folder: system.cfg and the default cache in
    // bin, and a relative cache below the working folder.
    Installation inst(QStringLiteral("bin"));
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl() + QStringLiteral("/pub")}}));
    UpdaterRun run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.out.startsWith("{\"errormsg\":\"下载升级描述文件失败:"), run.out.constData());
    QVERIFY(QFileInfo(inst.exeDir() + QStringLiteral("/update")).isDir());

    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl() + QStringLiteral("/pub")},
                              {QStringLiteral("Cache"), QStringLiteral("a/b/c")}}));
    run = inst.run({QStringLiteral("console")}, 60000, inst.scratch());
    QCOMPARE(run.exitCode, 1);
    QVERIFY(QFileInfo(inst.scratch() + QStringLiteral("/a/b/c")).isDir());
    QVERIFY(!QFileInfo::exists(inst.exeDir() + QStringLiteral("/a")));
}

void TestStartup::guardAgainstRunningUpdater()
{
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(inst.writeConfig({}));
    QCOMPARE(segmentAttachCount(inst.exeDir()), -1);

    // Interactive without URL: the first updater waits in its error dialog forever,
    // holding the guard.
    std::unique_ptr<QProcess> first = inst.start({});
    QVERIFY(first->waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(segmentAttachCount(inst.exeDir()), 1, 20000);

    UpdaterRun second = inst.run({QStringLiteral("console")});
    QCOMPARE(second.exitCode, 1);
    QCOMPARE(second.out, record(false, false, QStringLiteral("升级程序已运行")));

    // Another folder has another guard.
    Installation other;
    QVERIFY(other.writeConfig({}));
    const UpdaterRun elsewhere = other.run({QStringLiteral("console")});
    QCOMPARE(elsewhere.out, record(false, false, QStringLiteral("升级地址不合法:")));

    // Killed without clean-up, the first updater leaves its segment behind on Unix
    // (Windows removes a mapping with its last handle)...
    first->kill();
    QVERIFY(first->waitForFinished());
#ifdef Q_OS_WIN
    QCOMPARE(segmentAttachCount(inst.exeDir()), -1);
#else
    QCOMPARE(segmentAttachCount(inst.exeDir()), 0);
#endif
    // ...which does not keep the next run out, and a clean end removes it.
    second = inst.run({QStringLiteral("console")});
    QCOMPARE(second.exitCode, 1);
    QCOMPARE(second.out, record(false, false, QStringLiteral("升级地址不合法:")));
    QCOMPARE(segmentAttachCount(inst.exeDir()), -1);
    QCOMPARE(inst.hostCalls(), QList<QStringList>());
}

void TestStartup::guardInteractive()
{
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl()}}));
    QSharedMemory other(InstanceGuard::keyFor(inst.exeDir()));
    QVERIFY(other.create(1));
    m_server.clearRequests();

    const InProcessRun run = startInProcess(inst.exeDir(), {}, {ModalAnswerer::pressEscape()});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.dialogs.size(), 1);
    QCOMPARE(run.dialogs.at(0).texts.value(QStringLiteral("label")), QStringLiteral("启动"));
    QCOMPARE(run.dialogs.at(0).texts.value(QStringLiteral("error")), QStringLiteral("升级程序已运行"));
    QCOMPARE(run.dialogs.at(0).visibleButtons, QStringList());
    QCOMPARE(inst.hostCalls(), hostCall(QCoreApplication::applicationFilePath()));
    QCOMPARE(m_server.requestCount(), 0);
}

void TestStartup::guardSeveralAtOnce()
{
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    // One that gets through waits for a descriptor that never comes (5 s) and holds
    // the guard meanwhile; only the ones that pass open a connection. A process that
    // a loaded machine starts after the holder has given up may pass in its turn:
    // what must never happen is two past the guard at once.
    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Response never;
    never.answer = TestHttpServer::Answer::Never;
    server.setRoute("/many/update.ini", never);
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), server.baseUrl() + QStringLiteral("/many")}}));

    constexpr int Count = 4;
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < Count; ++i)
        processes.push_back(inst.start({QStringLiteral("console")}));
    int refused = 0;
    int passed = 0;
    for (auto &process : processes) {
        QVERIFY(process->waitForFinished(60000));
        const QByteArray out = process->readAllStandardOutput();
        if (out == record(false, false, QStringLiteral("升级程序已运行")))
            ++refused;
        else if (out == record(false, false, QStringLiteral("下载升级描述文件失败:网络超时")))
            ++passed;
        else
            QFAIL(out.constData());
        QCOMPARE(process->exitCode(), 1);
    }
    QCOMPARE(server.peakOpenConnectionCount(), 1);
    QCOMPARE(server.requestCount("/many/update.ini"), passed);
    QVERIFY(passed >= 1);
    QVERIFY2(refused >= 1, "no start overlapped another: the case was not tried");
}

void TestStartup::cacheOverlap_data()
{
    QTest::addColumn<QString>("cache");        // Cache value; "<none>" leaves it out
    QTest::addColumn<QString>("workingDir");
    QTest::addColumn<QString>("refusedPath");  // empty: the run goes on to the server

    QTest::newRow("root") << "{root}" << "{base}" << "{root}";
    QTest::newRow("exeDir") << "{exeDir}" << "{base}" << "{exeDir}";
    QTest::newRow("parent of root") << "{base}" << "{base}" << "{base}";
    QTest::newRow("dot from the root") << "." << "{root}" << "{root}";
    QTest::newRow("spelled through bin/..") << "{exeDir}/.." << "{base}" << "{root}";
    QTest::newRow("default") << "<none>" << "{base}" << QString();
    QTest::newRow("elsewhere") << "{base}/scratch/cache" << "{base}" << QString();
    QTest::newRow("inside the root") << "{root}/cache" << "{base}" << QString();
}

void TestStartup::cacheOverlap()
{
    QFETCH(QString, cache);
    QFETCH(QString, workingDir);
    QFETCH(QString, refusedPath);

    Installation inst(QStringLiteral("bin"));
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QMap<QString, QString> config{{QStringLiteral("URL"), m_server.baseUrl() + QStringLiteral("/none")}};
    if (cache != QLatin1String("<none>"))
        config.insert(QStringLiteral("Cache"), expand(cache, inst));
    QVERIFY(inst.writeConfig(config));

    const UpdaterRun run = inst.run({QStringLiteral("console")}, 60000, expand(workingDir, inst));
    QCOMPARE(run.exitCode, 1);
    if (refusedPath.isEmpty()) {
        QCOMPARE(run.out, record(false, false, QStringLiteral("下载升级描述文件失败:HTTP 404 Not Found")));
    } else {
        QCOMPARE(run.out, record(false, false,
                                 QStringLiteral("缓存目录不合法:") + expand(refusedPath, inst)));
    }
    QCOMPARE(inst.hostCalls(), QList<QStringList>());
}

void TestStartup::cacheOverlapInteractive()
{
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl()},
                              {QStringLiteral("Cache"), inst.root()}}));
    const InProcessRun run = startInProcess(inst.exeDir(), {}, {ModalAnswerer::pressEscape()});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.dialogs.size(), 1);
    QCOMPARE(run.dialogs.at(0).texts.value(QStringLiteral("label")), QStringLiteral("配置错误"));
    QCOMPARE(run.dialogs.at(0).texts.value(QStringLiteral("error")),
             QStringLiteral("缓存目录不合法:") + inst.root());
    QCOMPARE(run.dialogs.at(0).visibleButtons, QStringList());
    QCOMPARE(inst.hostCalls(), hostCall(QCoreApplication::applicationFilePath()));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
