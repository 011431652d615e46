// The download phase of the update run: the notice, the worker in the progress
// dialog or silently in the application's loop, the file record, the endings and
// the retries. Interactive runs in-process with the dialogs answered by the test;
// console runs also on the real executable.

#include "app/updaterun.h"
#include "support/installation.h"
#include "support/modalanswerer.h"
#include "support/publishrun.h"
#include "support/stdoutcapture.h"
#include "support/testhttpserver.h"
#include "support/updatefixture.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QtTest>

namespace {

const QMap<QString, QByteArray> &newFiles()
{
    static const QMap<QString, QByteArray> files{
        {QStringLiteral("Host.dll"), "host library, version 2"},
        {QStringLiteral("data/big.bin"), patternBytes(300000, 7)},
        {QStringLiteral("new/folder/added.txt"), "added in version 2"},
        {QStringLiteral("same.txt"), "unchanged"}};
    return files;
}

/// What the installation holds before the update: same.txt already current.
const QMap<QString, QByteArray> &oldFiles()
{
    static const QMap<QString, QByteArray> files{
        {QStringLiteral("Host.dll"), "host library, version 1"},
        {QStringLiteral("data/big.bin"), patternBytes(300000, 6)},
        {QStringLiteral("same.txt"), "unchanged"}};
    return files;
}

/// Seen dialogs of one class.
QList<ModalAnswerer::Seen> seenOf(const ModalAnswerer &answerer, const QString &className)
{
    QList<ModalAnswerer::Seen> list;
    const QList<ModalAnswerer::Seen> all = answerer.seen();
    for (const ModalAnswerer::Seen &seen : all) {
        if (seen.className == className)
            list.append(seen);
    }
    return list;
}

/// An answerer that lets every progress dialog close by itself.
void leaveProgress(ModalAnswerer &answerer)
{
    answerer.setFallback(QStringLiteral("CUpdateProgress"), ModalAnswerer::leave());
}

using FileMap = QMap<QString, QByteArray>;

const QString Notice = QStringLiteral("CUpdateNotice");
const QString Progress = QStringLiteral("CUpdateProgress");
const QString Error = QStringLiteral("CUpdateError");

QList<QStringList> hostCalledBy(const QString &updaterPath)
{
    return {{updaterPath, QStringLiteral("no_check")}};
}

/// Waits (serving events) until the server has seen count requests for target.
void waitForRequests(const TestHttpServer &server, const QByteArray &target, int count)
{
    QDeadlineTimer deadline(20000);
    while (server.requestCount(target) < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

class TestUpdateRun : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();

    void optionalDeclined_data();
    void optionalDeclined();
    void interactiveInstalls_data();
    void interactiveInstalls();
    void forcedFailsTwiceThenSucceeds();
    void cancelInteractive_data();
    void cancelInteractive();
    void cancelConsole();
    void silentInProcess();

    void executableInstalls_data();
    void executableInstalls();
    void executableWrongContent();
    void recordFlushedBeforeDownload();
    void executableAfterInterruptedInstallation_data();
    void executableAfterInterruptedInstallation();

private:
    /// Publishes files (list path -> content) under prefix: descriptor, list, and
    /// every file at the target the updater requests for its list path.
    QByteArray publish(const QString &prefix, const QByteArray &type,
                       const QMap<QString, QByteArray> &files = newFiles());
    void installOld(const QString &root);
    /// Every listed file holds its content at the place its list path names.
    void verifyNewInstalled(const QString &root, const QMap<QString, QByteArray> &files = newFiles());
    void verifyOldInstalled(const QString &root);

    TestHttpServer m_server;
};

void TestUpdateRun::initTestCase()
{
    QVERIFY(m_server.start());
}

void TestUpdateRun::init()
{
    m_server.clearRequests();
}

QByteArray TestUpdateRun::publish(const QString &prefix, const QByteArray &type,
                                  const QMap<QString, QByteArray> &files)
{
    m_server.setRoute((prefix + QStringLiteral("/update.ini")).toUtf8(),
                      TestHttpServer::ok(descriptorText(type, "v2", "2.0 \\x6b63\\x5f0f\\x7248")));
    const QByteArray list = fileListFor(files);
    m_server.setRoute((prefix + QStringLiteral("v2//md5.txt")).toUtf8(), TestHttpServer::ok(list));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        // The target Qt sends: "." segments resolved, doubled slashes kept.
        const QUrl target(QString(prefix + QStringLiteral("v2/") + it.key()).replace(QLatin1Char('\\'), QLatin1Char('/')));
        m_server.setRoute(target.adjusted(QUrl::NormalizePathSegments).path().toUtf8(), TestHttpServer::ok(it.value()));
    }
    return list;
}

void TestUpdateRun::installOld(const QString &root)
{
    for (auto it = oldFiles().cbegin(); it != oldFiles().cend(); ++it)
        QVERIFY(writeFile(root + QLatin1Char('/') + it.key(), it.value()));
}

void TestUpdateRun::verifyNewInstalled(const QString &root, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString place = QDir::cleanPath(QString(it.key()).replace(QLatin1Char('\\'), QLatin1Char('/')));
        QCOMPARE(readFile(root + QLatin1Char('/') + place), it.value());
    }
}

void TestUpdateRun::verifyOldInstalled(const QString &root)
{
    for (auto it = oldFiles().cbegin(); it != oldFiles().cend(); ++it)
        QCOMPARE(readFile(root + QLatin1Char('/') + it.key()), it.value());
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/new")));
}

void TestUpdateRun::optionalDeclined_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("later button") << false;
    QTest::newRow("escape") << true;
}

void TestUpdateRun::optionalDeclined()
{
    QFETCH(bool, escape);
    UpdateFixture f(m_server.baseUrl() + QStringLiteral("/declined"), false);
    publish(QStringLiteral("/declined"), "0");
    installOld(f.inst.root());
    QVERIFY(writeFile(f.rootFile(QStringLiteral("update_md5.info")), "old record"));

    ModalAnswerer answerer({escape ? ModalAnswerer::pressEscape() : ModalAnswerer::click(QStringLiteral("skip"))});
    QCOMPARE(runUpdate(f.values), 1);
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().at(0).className, QStringLiteral("CUpdateNotice"));
    // The version text came through the INI escapes of the descriptor.
    QCOMPARE(answerer.seen().at(0).texts.value(QStringLiteral("version")),
             QStringLiteral("发现新版本：2.0 正式版"));
    QCOMPARE(f.inst.hostCalls(), hostCalledBy(QCoreApplication::applicationFilePath()));
    QCOMPARE(readFile(f.rootFile(QStringLiteral("update_md5.info"))), QByteArray("old record"));
    verifyOldInstalled(f.inst.root());
    QCOMPARE(m_server.requestCount(), 2); // descriptor and list only
}

void TestUpdateRun::interactiveInstalls_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::newRow("optional, accepted") << QByteArray("0");
    QTest::newRow("forced") << QByteArray("1");
}

void TestUpdateRun::interactiveInstalls()
{
    QFETCH(QByteArray, type);
    const QString prefix = QStringLiteral("/install") + QString::fromLatin1(type);
    UpdateFixture f(m_server.baseUrl() + prefix, false);
    const QByteArray list = publish(prefix, type);
    installOld(f.inst.root());

    const bool optional = type == "0";
    ModalAnswerer answerer;
    leaveProgress(answerer);
    answerer.on(Notice, {ModalAnswerer::click(QStringLiteral("update"))});
    QCOMPARE(runUpdate(f.values), 0);

    // The progress dialog may close before the test gets a look at it.
    QCOMPARE(answerer.count(Notice), optional ? 1 : 0);
    QCOMPARE(answerer.count(Error), 0);
    verifyNewInstalled(f.inst.root());
    QCOMPARE(readFile(f.rootFile(QStringLiteral("update_md5.info"))), list);
    QCOMPARE(f.inst.hostCalls(), hostCalledBy(QCoreApplication::applicationFilePath()));
    // same.txt was current already: only the three changed files were fetched.
    QCOMPARE(m_server.requestCount((prefix + QStringLiteral("v2/same.txt")).toUtf8()), 0);
    QCOMPARE(m_server.requestCount(), 2 + 3);
}

void TestUpdateRun::forcedFailsTwiceThenSucceeds()
{
    const QString prefix = QStringLiteral("/twice");
    UpdateFixture f(m_server.baseUrl() + prefix, false);
    const QByteArray list = publish(prefix, "1");
    installOld(f.inst.root());
    // Same size, wrong bytes: the fingerprint check fails twice, then the server is fixed.
    const QByteArray target = (prefix + QStringLiteral("v2/Host.dll")).toUtf8();
    QByteArray wrong = newFiles().value(QStringLiteral("Host.dll"));
    wrong[0] = 'X';
    m_server.setRouteSequence(target, {TestHttpServer::ok(wrong), TestHttpServer::ok(wrong),
                                       TestHttpServer::ok(newFiles().value(QStringLiteral("Host.dll")))});

    ModalAnswerer answerer;
    leaveProgress(answerer);
    answerer.on(Error, {ModalAnswerer::pressEscape(), ModalAnswerer::pressEscape()});
    QCOMPARE(runUpdate(f.values), 0);

    const QList<ModalAnswerer::Seen> errors = seenOf(answerer, Error);
    QCOMPARE(errors.size(), 2);
    for (const ModalAnswerer::Seen &error : errors) {
        QCOMPARE(error.texts.value(QStringLiteral("label")), QStringLiteral("更新失败"));
        QCOMPARE(error.texts.value(QStringLiteral("error")), QStringLiteral("更新文件Host.dll校验不对"));
        QCOMPARE(error.visibleButtons, QStringList());
    }
    QCOMPARE(m_server.requestCount(target), 3);
    QCOMPARE(m_server.requestCount((prefix + QStringLiteral("/update.ini")).toUtf8()), 3);
    verifyNewInstalled(f.inst.root());
    QCOMPARE(readFile(f.rootFile(QStringLiteral("update_md5.info"))), list);
    QCOMPARE(f.inst.hostCalls(), hostCalledBy(QCoreApplication::applicationFilePath()));
}

void TestUpdateRun::cancelInteractive_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("optional") << QByteArray("0") << QStringList{QStringLiteral("retry")};
    QTest::newRow("forced") << QByteArray("1") << QStringList();
}

void TestUpdateRun::cancelInteractive()
{
    QFETCH(QByteArray, type);
    QFETCH(QStringList, buttons);
    const bool optional = type == "0";
    const QString prefix = QStringLiteral("/cancel") + QString::fromLatin1(type);
    UpdateFixture f(m_server.baseUrl() + prefix, false);
    publish(prefix, type);
    installOld(f.inst.root());
    // The first file in key order stalls after a few bytes until the test cancels.
    const QByteArray target = (prefix + QStringLiteral("v2/Host.dll")).toUtf8();
    TestHttpServer::Response stall = TestHttpServer::ok(newFiles().value(QStringLiteral("Host.dll")));
    stall.cut = TestHttpServer::Cut::Stall;
    stall.cutAfterBytes = 4;
    m_server.setRouteSequence(target, {stall, TestHttpServer::ok(newFiles().value(QStringLiteral("Host.dll")))});

    const ModalAnswerer::Action cancelDuringDownload = [&](QWidget *dialog) {
        waitForRequests(m_server, target, 1);
        ModalAnswerer::click(QStringLiteral("cancel"))(dialog);
    };
    ModalAnswerer answerer;
    leaveProgress(answerer);
    answerer.on(Notice, {ModalAnswerer::click(QStringLiteral("update"))});
    answerer.on(Progress, {cancelDuringDownload});
    // Optional: Escape ends the run. Forced: Escape starts the next attempt, which
    // then succeeds.
    answerer.on(Error, {ModalAnswerer::pressEscape()});

    const int code = runUpdate(f.values);
    const QList<ModalAnswerer::Seen> errors = seenOf(answerer, Error);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).texts.value(QStringLiteral("label")), QStringLiteral("更新失败"));
    QCOMPARE(errors.at(0).texts.value(QStringLiteral("error")), QString());
    QCOMPARE(errors.at(0).visibleButtons, buttons);
    if (optional) {
        QCOMPARE(code, 1);
        verifyOldInstalled(f.inst.root());
        QVERIFY(!QFileInfo::exists(f.rootFile(QStringLiteral("update_md5.info"))));
    } else {
        QCOMPARE(code, 0);
        verifyNewInstalled(f.inst.root());
    }
    QCOMPARE(f.inst.hostCalls(), hostCalledBy(QCoreApplication::applicationFilePath()));
}

void TestUpdateRun::cancelConsole()
{
    const QString prefix = QStringLiteral("/cancelconsole");
    UpdateFixture f(m_server.baseUrl() + prefix, true);
    publish(prefix, "1");
    installOld(f.inst.root());
    const QByteArray target = (prefix + QStringLiteral("v2/Host.dll")).toUtf8();
    TestHttpServer::Response stall = TestHttpServer::ok(newFiles().value(QStringLiteral("Host.dll")));
    stall.cut = TestHttpServer::Cut::Stall;
    stall.cutAfterBytes = 4;
    m_server.setRoute(target, stall);

    // A forced update in console mode is not silent: the progress dialog shows, and
    // its cancel button ends the run like a failure with an empty message.
    ModalAnswerer answerer;
    answerer.on(Progress, {[&](QWidget *dialog) {
        waitForRequests(m_server, target, 1);
        ModalAnswerer::click(QStringLiteral("cancel"))(dialog);
    }});
    StdoutCapture capture;
    QCOMPARE(runUpdate(f.values), 1);
    QCOMPARE(capture.bytes(), resultRecord(true, true, QString()) + resultRecord(false, false, QString()));
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().at(0).className, QStringLiteral("CUpdateProgress"));
    verifyOldInstalled(f.inst.root());
    QCOMPARE(f.inst.hostCalls(), QList<QStringList>());
}

void TestUpdateRun::silentInProcess()
{
    const QString prefix = QStringLiteral("/silentrun");
    UpdateFixture f(m_server.baseUrl() + prefix, true);
    const QByteArray list = publish(prefix, "0");
    installOld(f.inst.root());

    // Any window showing up would be seen here.
    int windowsShown = 0;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        const QWidgetList widgets = QApplication::topLevelWidgets();
        for (QWidget *w : widgets)
            windowsShown += w->isVisible() ? 1 : 0;
    });
    watcher.start(1);
    StdoutCapture capture;
    QCOMPARE(runUpdate(f.values), 0);
    QCOMPARE(capture.bytes(), resultRecord(true, false, QString()));
    QCOMPARE(windowsShown, 0);
    verifyNewInstalled(f.inst.root());
    QCOMPARE(readFile(f.rootFile(QStringLiteral("update_md5.info"))), list);
    QCOMPARE(f.inst.hostCalls(), QList<QStringList>());
}

void TestUpdateRun::executableInstalls_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("hostStarted");
    QTest::addColumn<FileMap>("listed");     // list path -> content
    QTest::addColumn<FileMap>("installed");  // before the run
    QTest::newRow("forced, progress dialog, host started") << QByteArray("1") << true << newFiles() << oldFiles();
    QTest::newRow("optional, silent, no host") << QByteArray("0") << false << newFiles() << oldFiles();
    // Lists keep paths as written: "d\\x.txt" is d/x.txt, ".\y.txt" is y.txt.
    FileMap listed = newFiles();
    listed.insert(QStringLiteral("d\\\\x.txt"), "x, version 2");
    listed.insert(QStringLiteral(".\\y.txt"), "y, version 2");
    FileMap installed = newFiles();
    installed.insert(QStringLiteral("d/x.txt"), "x, version 1");
    installed.insert(QStringLiteral("y.txt"), "y, version 1");
    QTest::newRow("forced, only a doubled separator and a dot component differ")
            << QByteArray("1") << true << listed << installed;
}

void TestUpdateRun::executableInstalls()
{
    QFETCH(QByteArray, type);
    QFETCH(bool, hostStarted);
    QFETCH(FileMap, listed);
    QFETCH(FileMap, installed);
    const QString prefix = QStringLiteral("/exe") + QString::fromLatin1(type);
    Installation inst(QStringLiteral("bin"));
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl() + prefix}}));
    const QByteArray list = publish(prefix, type, listed);
    QVERIFY(writeRelease(inst.root(), installed));

    UpdaterRun run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, resultRecord(true, type != "0", QString()));
    verifyNewInstalled(inst.root(), listed);
    QCOMPARE(readFile(inst.root() + QStringLiteral("/update_md5.info")), list);
    QCOMPARE(inst.hostCalls(), hostStarted ? hostCalledBy(inst.exePath()) : QList<QStringList>());

    // The next run finds nothing to do.
    m_server.clearRequests();
    run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, resultRecord(true, false, QString()));
    QCOMPARE(m_server.requestCount(), 2);
}

void TestUpdateRun::executableWrongContent()
{
    const QString prefix = QStringLiteral("/wrong");
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl() + prefix}}));
    const QByteArray list = publish(prefix, "1");
    installOld(inst.root());
    const QByteArray target = (prefix + QStringLiteral("v2/new/folder/added.txt")).toUtf8();
    m_server.setRoute(target, TestHttpServer::ok("wrong content, not the one listed"));

    UpdaterRun run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, resultRecord(true, true, QString())
                          + resultRecord(false, false, QStringLiteral("下载更新文件added.txt大小不对")));
    verifyOldInstalled(inst.root());
    QVERIFY(!QFileInfo::exists(inst.root() + QStringLiteral("/update_md5.info")));
    QCOMPARE(inst.hostCalls(), QList<QStringList>());

    m_server.setRoute(target, TestHttpServer::ok(newFiles().value(QStringLiteral("new/folder/added.txt"))));
    run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, resultRecord(true, true, QString()));
    verifyNewInstalled(inst.root());
    QCOMPARE(readFile(inst.root() + QStringLiteral("/update_md5.info")), list);
    QCOMPARE(inst.hostCalls(), hostCalledBy(inst.exePath()));
}

void TestUpdateRun::recordFlushedBeforeDownload()
{
    const QString prefix = QStringLiteral("/flush");
    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl() + prefix}}));
    publish(prefix, "0");
    const QByteArray target = (prefix + QStringLiteral("v2/Host.dll")).toUtf8();
    TestHttpServer::Response stall = TestHttpServer::ok(newFiles().value(QStringLiteral("Host.dll")));
    stall.cut = TestHttpServer::Cut::Stall;
    m_server.setRoute(target, stall);

    // While the updater waits for a file that does not come, its comparison record
    // has already reached the reading end of the pipe.
    std::unique_ptr<QProcess> process = inst.start({QStringLiteral("console")});
    QByteArray out;
    QTRY_COMPARE_WITH_TIMEOUT((out += process->readAllStandardOutput(), out),
                              resultRecord(true, false, QString()), 20000);
    // The request goes out from the event loop, perhaps a moment after the record.
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(target), 1, 10000);
    QCOMPARE(process->state(), QProcess::Running);
    process->kill();
    process->waitForFinished();
}

void TestUpdateRun::executableAfterInterruptedInstallation_data()
{
    QTest::addColumn<bool>("midInstallation");
    // Every file moved in, the process gone before it wrote the record.
    QTest::newRow("killed before the record was written") << false;
    // Host.dll, the first file in list order, still waited in the cache.
    QTest::newRow("killed during the installation") << true;
}

void TestUpdateRun::executableAfterInterruptedInstallation()
{
    QFETCH(bool, midInstallation);
    const QString prefix = QStringLiteral("/interrupted") + QString::number(int(midInstallation));
    Installation inst(QStringLiteral("bin"));
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl() + prefix}}));
    const QByteArray list = publish(prefix, "1");
    installOld(inst.root());
    const QByteArray oldRecord = fileListFor(oldFiles());
    QVERIFY(writeFile(inst.root() + QStringLiteral("/update_md5.info"), oldRecord));

    UpdaterRun run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 0);
    verifyNewInstalled(inst.root());
    // The state a kill would have left: the old record back, and perhaps one file
    // not yet moved in.
    QVERIFY(writeFile(inst.root() + QStringLiteral("/update_md5.info"), oldRecord));
    const QString host = inst.root() + QStringLiteral("/Host.dll");
    if (midInstallation) {
        QVERIFY(QFile::rename(host, inst.exeDir() + QStringLiteral("/update/Host.dll")));
        QVERIFY(QFile::rename(host + QStringLiteral(".old"), host));
    }
    m_server.clearRequests();
    (void)inst.hostCalls();

    run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, resultRecord(true, true, QString()));
    // Descriptor and list only: nothing is downloaded twice.
    QCOMPARE(m_server.requestCount(), 2);
    verifyNewInstalled(inst.root());
    QCOMPARE(readFile(inst.root() + QStringLiteral("/update_md5.info")), list);
    // A file found in place is not set aside again: its ".old" still holds version 1.
    for (const QString &path : {QStringLiteral("Host.dll"), QStringLiteral("data/big.bin")})
        QCOMPARE(readFile(inst.root() + QLatin1Char('/') + path + QStringLiteral(".old")), oldFiles().value(path));
    QVERIFY(!QFileInfo::exists(inst.root() + QStringLiteral("/new/folder/added.txt.old")));
    QVERIFY(!QFileInfo::exists(inst.exeDir() + QStringLiteral("/update/Host.dll")));
    QCOMPARE(inst.hostCalls().size(), 2);
}

QTEST_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
