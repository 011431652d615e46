// The update check: addresses, the cached descriptor, its keys and defaults, the
// records of console mode, the comparison, the retry loop of interactive mode.
// In-process against the scriptable server on its own thread; console mode also on
// the real executable, against the server and against nginx serving a published tree.

#include "app/reporting.h"
#include "app/updatecheck.h"
#include "app/updaterun.h"
#include "support/installation.h"
#include "support/modalanswerer.h"
#include "support/nginxserver.h"
#include "support/publishrun.h"
#include "support/stdoutcapture.h"
#include "support/testhttpserver.h"
#include "support/updatefixture.h"
#include "ui/cupdateerror.h"
#include "update/filelist.h"
#include "update/md5.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QtTest>

Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

QList<QByteArray> targets(const TestHttpServer &server)
{
    QList<QByteArray> list;
    const QList<TestHttpServer::Request> requests = server.requests();
    for (const TestHttpServer::Request &request : requests)
        list.append(request.target);
    return list;
}

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();

    void requestPaths_data();
    void requestPaths();
    void consoleRecords_data();
    void consoleRecords();
    void invalidDescriptorAddress_data();
    void invalidDescriptorAddress();
    void cacheTargetsNotSelected();
    void upToDateRecordDecides();
    void newVersionTextSameFiles_data();
    void newVersionTextSameFiles();
    void hostileResponses_data();
    void hostileResponses();
    void interactiveRetry_data();
    void interactiveRetry();
    void interactiveTimeout();
    void executableAgainstServer();
    void executableAgainstNginx();

private:
    TestHttpServer m_server;
};

void TestUpdateCheck::initTestCase()
{
    QVERIFY(m_server.start());
}

void TestUpdateCheck::init()
{
    m_server.clearRequests();
}

void TestUpdateCheck::requestPaths_data()
{
    QTest::addColumn<QString>("urlPath");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("descriptorTarget");
    QTest::addColumn<QByteArray>("listTarget");

    QTest::newRow("no trailing slash") << "/pub/app" << QByteArray("<none>")
                                       << QByteArray("/pub/app/update.ini") << QByteArray("/pub/appBase//md5.txt");
    QTest::newRow("trailing slash") << "/pub/app/" << QByteArray("<none>")
                                    << QByteArray("/pub/app//update.ini") << QByteArray("/pub/app/Base//md5.txt");
    QTest::newRow("empty folder") << "/pub/app" << QByteArray("")
                                  << QByteArray("/pub/app/update.ini") << QByteArray("/pub/app//md5.txt");
    QTest::newRow("named folder") << "/pub/app/" << QByteArray("v2")
                                  << QByteArray("/pub/app//update.ini") << QByteArray("/pub/app/v2//md5.txt");
}

void TestUpdateCheck::requestPaths()
{
    QFETCH(QString, urlPath);
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, descriptorTarget);
    QFETCH(QByteArray, listTarget);

    UpdateFixture f(m_server.baseUrl() + urlPath, true);
    const QByteArray desc = descriptorText("1", folder, "1.0");
    m_server.setRoute(descriptorTarget, TestHttpServer::ok(desc));
    m_server.setRoute(listTarget, TestHttpServer::ok(QByteArray()));

    StdoutCapture capture;
    UpdateCheckResult result;
    const AttemptEnd end = checkForUpdate(f.values, result);
    QCOMPARE(targets(m_server), (QList<QByteArray>{descriptorTarget, listTarget}));
    QCOMPARE(end.kind, AttemptEnd::Finished);
    QCOMPARE(capture.bytes(), resultRecord(true, false, QString()));
    QCOMPARE(readFile(f.values.cacheDir.absoluteFilePath(QStringLiteral("update.ini"))), desc);
    QCOMPARE(result.baseUrl, m_server.baseUrl() + QString::fromLatin1(listTarget.chopped(8)));
}

void TestUpdateCheck::consoleRecords_data()
{
    QTest::addColumn<QByteArray>("type");         // "<none>": no Summary group
    QTest::addColumn<bool>("descriptorServed");
    QTest::addColumn<bool>("listServed");
    QTest::addColumn<bool>("cacheBlocked");       // a folder where update.ini goes
    QTest::addColumn<bool>("installed");          // installation already equals the list
    QTest::addColumn<QString>("message");         // {url} {desc} {list} {cache}
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("update");
    QTest::addColumn<int>("kind");

    const int finished = AttemptEnd::Finished;
    const int download = AttemptEnd::Download;
    QTest::newRow("descriptor not fetched") << QByteArray("1") << false << true << false << false
        << "下载升级描述文件失败:" + notFoundText() << false << false << finished;
    QTest::newRow("update.ini not creatable") << QByteArray("1") << true << true << true << false
        << QStringLiteral("创建文件[{cache}/update.ini]失败:" NotAFileText) << false << false << finished;
    QTest::newRow("list not fetched") << QByteArray("1") << true << false << false << false
        << "下载更新列表文件失败:" + notFoundText() << false << false << finished;
    QTest::newRow("forced") << QByteArray("1") << true << true << false << false
                            << QString() << true << true << download;
    QTest::newRow("type missing is forced") << QByteArray("<none>") << true << true << false << false
                                            << QString() << true << true << download;
    QTest::newRow("type 2 is forced") << QByteArray("2") << true << true << false << false
                                      << QString() << true << true << download;
    QTest::newRow("optional") << QByteArray("0") << true << true << false << false
                              << QString() << true << false << download;
    QTest::newRow("non-numeric is optional") << QByteArray("abc") << true << true << false << false
                                             << QString() << true << false << download;
    QTest::newRow("nothing to do, forced") << QByteArray("1") << true << true << false << true
                                           << QString() << true << false << finished;
}

void TestUpdateCheck::consoleRecords()
{
    QFETCH(QByteArray, type);
    QFETCH(bool, descriptorServed);
    QFETCH(bool, listServed);
    QFETCH(bool, cacheBlocked);
    QFETCH(bool, installed);
    QFETCH(QString, message);
    QFETCH(bool, success);
    QFETCH(bool, update);
    QFETCH(int, kind);

    const QString prefix = QStringLiteral("/rec/") + QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
    UpdateFixture f(m_server.baseUrl() + prefix, true);
    const QMap<QString, QByteArray> files{{QStringLiteral("a.txt"), "alpha"},
                                          {QStringLiteral("sub/b.dll"), "beta"}};
    const QByteArray list = fileListFor(files);
    const QByteArray descTarget = (prefix + QStringLiteral("/update.ini")).toUtf8();
    const QByteArray listTarget = (prefix + QStringLiteral("v1//md5.txt")).toUtf8();
    if (descriptorServed)
        m_server.setRoute(descTarget, TestHttpServer::ok(descriptorText(type, "v1", "1.0")));
    if (listServed)
        m_server.setRoute(listTarget, TestHttpServer::ok(list));
    if (cacheBlocked)
        QVERIFY(f.values.cacheDir.mkdir(QStringLiteral("update.ini")));
    if (installed) {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeFile(f.rootFile(it.key()), it.value()));
    }

    message.replace(QLatin1String("{desc}"), m_server.baseUrl() + QString::fromLatin1(descTarget));
    message.replace(QLatin1String("{list}"), m_server.baseUrl() + QString::fromLatin1(listTarget));
    message.replace(QLatin1String("{cache}"), f.values.cacheDir.absolutePath());

    StdoutCapture capture;
    UpdateCheckResult result;
    const AttemptEnd end = checkForUpdate(f.values, result);
    QCOMPARE(capture.bytes(), resultRecord(success, update, message));
    QCOMPARE(int(end.kind), kind);
    QCOMPARE(end.exitCode, 1);
    QCOMPARE(f.inst.hostCalls(), QList<QStringList>());

    const QString recordFile = f.rootFile(QStringLiteral("update_md5.info"));
    if (success && kind == AttemptEnd::Finished) {
        QCOMPARE(readFile(recordFile), list);
    } else {
        QVERIFY(!QFileInfo::exists(recordFile));
    }
    if (kind == AttemptEnd::Download) {
        QCOMPARE(result.changed.keys(), files.keys());
        QCOMPARE(result.fileList, list);
        QCOMPARE(result.baseUrl, m_server.baseUrl() + prefix + QStringLiteral("v1/"));
        QCOMPARE(result.version, QStringLiteral("1.0"));
    }
}

void TestUpdateCheck::invalidDescriptorAddress_data()
{
    QTest::addColumn<bool>("console");
    QTest::newRow("console") << true;
    QTest::newRow("interactive") << false;
}

void TestUpdateCheck::invalidDescriptorAddress()
{
    QFETCH(bool, console);
    // Start-up refuses such a URL already; the driver checks its own address anyway.
    UpdateFixture f(QStringLiteral("http://[::1"), console);
    ModalAnswerer answerer({ModalAnswerer::pressEscape()});
    StdoutCapture capture;
    const int code = runUpdate(f.values);
    QCOMPARE(code, 1);
    const QString message = QStringLiteral("升级描述文件地址不合法:");
    if (console) {
        QCOMPARE(capture.bytes(), resultRecord(false, false, message));
        QCOMPARE(answerer.seen().size(), 0);
        QCOMPARE(f.inst.hostCalls(), QList<QStringList>());
    } else {
        QCOMPARE(capture.bytes(), QByteArray());
        QCOMPARE(answerer.seen().size(), 1);
        QCOMPARE(answerer.seen().at(0).texts.value(QStringLiteral("label")), QStringLiteral("配置错误"));
        QCOMPARE(answerer.seen().at(0).texts.value(QStringLiteral("error")), message);
        QCOMPARE(answerer.seen().at(0).visibleButtons, QStringList());
        QCOMPARE(f.inst.hostCalls(),
                 (QList<QStringList>{{QCoreApplication::applicationFilePath(), QStringLiteral("no_check")}}));
    }
    QCOMPARE(m_server.requestCount(), 0);
}

void TestUpdateCheck::cacheTargetsNotSelected()
{
    QCOMPARE(withoutCacheTargets({{QStringLiteral("bin/update/x"), {}},
                                  {QStringLiteral("bin/updater"), {}},
                                  {QStringLiteral("bin/update"), {}},
                                  {QStringLiteral("a"), {}}},
                                 QDir(QStringLiteral("/inst")), QDir(QStringLiteral("/inst/bin/update")))
                 .keys(),
             (QStringList{QStringLiteral("a"), QStringLiteral("bin/updater")}));

    // Links are followed: a folder, or a file, of the installation that leads into
    // the cache is the cache.
#ifdef Q_OS_WIN
    QSKIP("QFile::link makes shortcuts on Windows, which the file system does not follow");
#endif
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("inst/cache")));
    QVERIFY(writeFile(dir.path() + QStringLiteral("/inst/cache/f"), "cached"));
    QVERIFY(QFile::link(dir.path() + QStringLiteral("/inst/cache"), dir.path() + QStringLiteral("/inst/data")));
    QVERIFY(QFile::link(dir.path() + QStringLiteral("/inst/cache/f"), dir.path() + QStringLiteral("/inst/f")));
    QCOMPARE(withoutCacheTargets({{QStringLiteral("data/x"), {}},
                                  {QStringLiteral("data/sub/y"), {}},
                                  {QStringLiteral("data"), {}},
                                  {QStringLiteral("f"), {}},
                                  {QStringLiteral("g"), {}}},
                                 QDir(dir.path() + QStringLiteral("/inst")),
                                 QDir(dir.path() + QStringLiteral("/inst/cache")))
                 .keys(),
             QStringList{QStringLiteral("g")});

    // Through the whole check: with the default cache (root/update in a flat
    // installation) a listed update/inside.txt is never fetched.
    UpdateFixture f(m_server.baseUrl() + QStringLiteral("/cachetargets"), true);
    m_server.setRoute("/cachetargets/update.ini", TestHttpServer::ok(descriptorText("1", "v", "1")));
    m_server.setRoute("/cachetargetsv//md5.txt",
                      TestHttpServer::ok(fileListFor({{QStringLiteral("update/inside.txt"), "x"},
                                                  {QStringLiteral("outside.txt"), "y"}})));
    StdoutCapture capture;
    UpdateCheckResult result;
    QCOMPARE(checkForUpdate(f.values, result).kind, AttemptEnd::Download);
    QCOMPARE(result.changed.keys(), QStringList{QStringLiteral("outside.txt")});
}

void TestUpdateCheck::upToDateRecordDecides()
{
    UpdateFixture f(m_server.baseUrl() + QStringLiteral("/uptodate"), true);
    const QMap<QString, QByteArray> files{{QStringLiteral("Host.dll"), "host library"},
                                          {QStringLiteral("data/one.bin"), QByteArray(70000, 'x')}};
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(writeFile(f.rootFile(it.key()), it.value()));
    const QByteArray list = fileListFor(files);
    m_server.setRoute("/uptodate/update.ini", TestHttpServer::ok(descriptorText("1", "Base", "3")));
    m_server.setRoute("/uptodateBase//md5.txt", TestHttpServer::ok(list));

    {
        StdoutCapture capture;
        QCOMPARE(runUpdate(f.values), 1);
        QCOMPARE(capture.bytes(), resultRecord(true, false, QString()));
    }
    QCOMPARE(readFile(f.rootFile(QStringLiteral("update_md5.info"))), list);

    // With the record in place the installed files are not looked at: changed behind
    // the updater's back, they still count as up to date.
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(writeFile(f.rootFile(it.key()), "tampered"));
    StdoutCapture capture;
    QCOMPARE(runUpdate(f.values), 1);
    QCOMPARE(capture.bytes(), resultRecord(true, false, QString()));
    QCOMPARE(f.inst.hostCalls(), QList<QStringList>());
}

void TestUpdateCheck::newVersionTextSameFiles_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << QByteArray("2.0") << QStringLiteral("2.0");
    // The INI reader would split this into a list at the comma.
    QTest::newRow("with commas") << QByteArray("2.1, beta,3") << QStringLiteral("2.1, beta,3");
    QTest::newRow("quoted") << QByteArray("\"2.1, beta\"") << QStringLiteral("2.1, beta");
    QTest::newRow("UTF-8") << QByteArray("版本 2.1, 测试") << QStringLiteral("版本 2.1, 测试");
}

void TestUpdateCheck::newVersionTextSameFiles()
{
    QFETCH(QByteArray, written);
    QFETCH(QString, shown);
    UpdateFixture f(m_server.baseUrl() + QStringLiteral("/newtext/"), true);
    const QMap<QString, QByteArray> files{{QStringLiteral("app.exe"), "the application"}};
    QVERIFY(writeFile(f.rootFile(QStringLiteral("app.exe")), files.first()));
    const QByteArray list = fileListFor(files);
    m_server.setRoute("/newtext//update.ini", TestHttpServer::ok(descriptorText("1", "v2", written)));
    m_server.setRoute("/newtext/v2//md5.txt", TestHttpServer::ok(list));
    StdoutCapture capture;
    UpdateCheckResult result;
    QCOMPARE(checkForUpdate(f.values, result).kind, AttemptEnd::Finished);
    QCOMPARE(capture.bytes(), resultRecord(true, false, QString()));
    QCOMPARE(result.version, shown);
    QCOMPARE(readFile(f.rootFile(QStringLiteral("update_md5.info"))), list);
}

void TestUpdateCheck::hostileResponses_data()
{
    QTest::addColumn<QByteArray>("target"); // "update.ini", "md5.txt" or a listed file
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<QString>("message");   // a regular expression for the last record's

    using Response = TestHttpServer::Response;
    const QString desc = QStringLiteral("下载升级描述文件失败:");
    const QString list = QStringLiteral("下载更新列表文件失败:");

    // Headers and part of the body, a pause, a reset: Qt may send the request again
    // and finish with a 200, no error and the part it had.
    const QByteArray descriptor = descriptorText("1", "v2", "2.0");
    Response cutDescriptor = TestHttpServer::ok(descriptor);
    cutDescriptor.cut = TestHttpServer::Cut::Reset;
    cutDescriptor.cutAfterBytes = 30;
    cutDescriptor.cutDelayMs = 300;
    QTest::newRow("descriptor cut, reset") << QByteArray("update.ini") << cutDescriptor
        << desc + QStringLiteral("(内容不完整:收到30字节，应为%1字节|.*closed.*)").arg(descriptor.size());
    Response cutList = TestHttpServer::ok(QByteArray(159, 'l'));
    cutList.cut = TestHttpServer::Cut::Reset;
    cutList.cutAfterBytes = 106;
    cutList.cutDelayMs = 300;
    QTest::newRow("list cut, reset") << QByteArray("md5.txt") << cutList
        << list + QStringLiteral("(内容不完整:收到106字节，应为159字节|.*closed.*)");

    const Response bomb = TestHttpServer::gzipBomb(64 * 1024 * 1024);
    QTest::newRow("descriptor gzip bomb") << QByteArray("update.ini") << bomb
                                          << desc + QStringLiteral("不支持的内容编码:gzip");
    QTest::newRow("list gzip bomb") << QByteArray("md5.txt") << bomb
                                    << list + QStringLiteral("不支持的内容编码:gzip");
    QTest::newRow("file gzip bomb") << QByteArray("a.txt") << bomb
                                    << QStringLiteral("下载更新文件a.txt网络错误");

    QTest::newRow("descriptor over 64 KiB") << QByteArray("update.ini")
        << TestHttpServer::ok(descriptor + QByteArray(64 * 1024, ';'))
        << desc + QStringLiteral("内容超过65536字节的上限");
    Response endless = TestHttpServer::ok(fileListFor({{QStringLiteral("x"), "x"}}));
    endless.repeatedSize = -1;
    endless.framing = TestHttpServer::Framing::Chunked;
    // Qt 5.15 takes milliseconds per chunk, and may hand nothing over while the socket
    // never runs dry: large chunks with short pauses, or the time-out comes first.
    endless.writeChunkSize = 1024 * 1024;
    endless.writeIntervalMs = 2;
    QTest::newRow("endless list") << QByteArray("md5.txt") << endless
                                  << list + QStringLiteral("内容超过67108864字节的上限");
    Response huge = endless;
    huge.repeatedSize = 200 * 1024 * 1024;
    huge.framing = TestHttpServer::Framing::ContentLength;
    QTest::newRow("list of 200 MiB") << QByteArray("md5.txt") << huge
                                     << list + QStringLiteral("内容超过67108864字节的上限");

    Response moved = TestHttpServer::status(301);
    moved.headers.append(qMakePair(QByteArray("Location"), QByteArray("/elsewhere")));
    QTest::newRow("descriptor moved") << QByteArray("update.ini") << moved
                                      << desc + QStringLiteral("HTTP 301 Moved Permanently");
    QTest::newRow("list found elsewhere") << QByteArray("md5.txt") << TestHttpServer::status(302)
                                          << list + QStringLiteral("HTTP 302 Found");
}

void TestUpdateCheck::hostileResponses()
{
    QFETCH(QByteArray, target);
    QFETCH(TestHttpServer::Response, response);
    QFETCH(QString, message);

    const QString prefix = QStringLiteral("/hostile/") + QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
    UpdateFixture f(m_server.baseUrl() + prefix + QLatin1Char('/'), true);
    // A forced update with one differing file: anything but a failure would install
    // it and record the list.
    const QMap<QString, QByteArray> files{{QStringLiteral("a.txt"), "new"}};
    QVERIFY(writeFile(f.rootFile(QStringLiteral("a.txt")), "old"));
    const QByteArray base = (prefix + QStringLiteral("/v2/")).toUtf8();
    m_server.setRoute((prefix + QStringLiteral("//update.ini")).toUtf8(),
                      TestHttpServer::ok(descriptorText("1", "v2", "2.0")));
    m_server.setRoute(base + "/md5.txt", TestHttpServer::ok(fileListFor(files)));
    m_server.setRoute(base + "a.txt", TestHttpServer::ok("new"));
    QByteArray hostile = base + target;
    if (target == "update.ini")
        hostile = (prefix + QStringLiteral("//update.ini")).toUtf8();
    else if (target == "md5.txt")
        hostile = base + "/md5.txt";
    m_server.setRoute(hostile, response);

    StdoutCapture capture;
    QCOMPARE(runUpdate(f.values), 1);
    // A failed file comes after the record of the finished check.
    const QByteArray checked = resultRecord(true, true, QString());
    QByteArray last = capture.bytes();
    if (target != "update.ini" && target != "md5.txt") {
        QVERIFY2(last.startsWith(checked), last.constData());
        last = last.mid(checked.size());
    }
    const QRegularExpression expected(QStringLiteral("^\\{\"errormsg\":\"") + message
                                      + QStringLiteral("\",\"success\":false,\"update\":false\\}$"));
    QVERIFY2(expected.match(QString::fromUtf8(last)).hasMatch(), last.constData());
    QCOMPARE(readFile(f.rootFile(QStringLiteral("a.txt"))), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(f.rootFile(QStringLiteral("a.txt.old"))));
    QVERIFY(!QFileInfo::exists(f.rootFile(QStringLiteral("update_md5.info"))));
    if (target == "update.ini")
        QVERIFY(!QFileInfo::exists(f.values.cacheDir.absoluteFilePath(QStringLiteral("update.ini"))));
    QCOMPARE(f.inst.hostCalls(), QList<QStringList>());
}

void TestUpdateCheck::interactiveRetry_data()
{
    QTest::addColumn<bool>("retry");
    QTest::newRow("retry after recovery") << true;
    QTest::newRow("escape") << false;
}

void TestUpdateCheck::interactiveRetry()
{
    QFETCH(bool, retry);
    const QString prefix = retry ? QStringLiteral("/retry") : QStringLiteral("/escape");
    UpdateFixture f(m_server.baseUrl() + prefix, false);
    f.dialog.setDownloadUrl(QStringLiteral("http://127.0.0.1/manual"));
    const QByteArray descTarget = (prefix + QStringLiteral("/update.ini")).toUtf8();
    const QByteArray list = fileListFor({{QStringLiteral("x.txt"), "x"}});
    QVERIFY(writeFile(f.rootFile(QStringLiteral("x.txt")), "x"));
    m_server.setRouteSequence(descTarget, {TestHttpServer::status(404),
                                           TestHttpServer::ok(descriptorText("1", "Base", "1"))});
    m_server.setRoute((prefix + QStringLiteral("Base//md5.txt")).toUtf8(), TestHttpServer::ok(list));

    ModalAnswerer answerer({retry ? ModalAnswerer::click(QStringLiteral("retry"))
                                  : ModalAnswerer::pressEscape()});
    QCOMPARE(runUpdate(f.values), 1);
    QCOMPARE(answerer.seen().size(), 1);
    const ModalAnswerer::Seen seen = answerer.seen().at(0);
    QCOMPARE(seen.texts.value(QStringLiteral("label")), QStringLiteral("更新失败"));
    QCOMPARE(seen.texts.value(QStringLiteral("error")),
             "下载升级描述文件失败:" + notFoundText());
    QCOMPARE(seen.visibleButtons, (QStringList{QStringLiteral("download"), QStringLiteral("retry")}));
    QCOMPARE(m_server.requestCount(descTarget), retry ? 2 : 1);
    QCOMPARE(QFileInfo::exists(f.rootFile(QStringLiteral("update_md5.info"))), retry);
    QCOMPARE(f.inst.hostCalls(),
             (QList<QStringList>{{QCoreApplication::applicationFilePath(), QStringLiteral("no_check")}}));
}

void TestUpdateCheck::interactiveTimeout()
{
    UpdateFixture f(m_server.baseUrl() + QStringLiteral("/silent"), false);
    TestHttpServer::Response never;
    never.answer = TestHttpServer::Answer::Never;
    m_server.setRoute("/silent/update.ini", never);

    QElapsedTimer clock;
    qint64 shownAfter = -1;
    ModalAnswerer answerer({ModalAnswerer::then([&](QWidget *) { shownAfter = clock.elapsed(); },
                                                ModalAnswerer::pressEscape())});
    clock.start();
    QCOMPARE(runUpdate(f.values), 1);
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().at(0).texts.value(QStringLiteral("error")),
             QStringLiteral("下载升级描述文件失败:网络超时"));
    QCOMPARE(answerer.seen().at(0).visibleButtons, QStringList{QStringLiteral("retry")});
    // A coarse Qt timer may fire up to 5 % early.
    QVERIFY2(shownAfter >= 4700 && shownAfter < 9000, QByteArray::number(shownAfter).constData());
    QCOMPARE(f.inst.hostCalls().size(), 1);
}

void TestUpdateCheck::executableAgainstServer()
{
    Installation inst(QStringLiteral("bin"));
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), m_server.baseUrl().replace(QLatin1String("://"), QLatin1String("://bob:s3cret@"))
                                                          + QStringLiteral("/exe/")}})); // credentials show nowhere
    const QMap<QString, QByteArray> files{{QStringLiteral("Host.dll"), "library"},
                                          {QStringLiteral("bin/plugin.dll"), "plugin"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(writeFile(inst.root() + QLatin1Char('/') + it.key(), it.value()));
    const QByteArray list = fileListFor(files);

    // First the descriptor is missing, then it is there and nothing differs.
    UpdaterRun run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, resultRecord(false, false, "下载升级描述文件失败:" + notFoundText()));

    m_server.setRoute("/exe//update.ini", TestHttpServer::ok(descriptorText("1", "Base", "1")));
    m_server.setRoute("/exe/Base//md5.txt", TestHttpServer::ok(list));
    run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, resultRecord(true, false, QString()));
    QCOMPARE(readFile(inst.root() + QStringLiteral("/update_md5.info")), list);
    QCOMPARE(readFile(inst.exeDir() + QStringLiteral("/update/update.ini")), descriptorText("1", "Base", "1"));
    // A typed value is its text: decoded, this one is a list of 2^31-1 items.
    m_server.setRoute("/exe//update.ini", TestHttpServer::ok(descriptorText("1", "Base", "@Variant(\\0\\0\\0\\x09\\x7f\\xff\\xff\\xff)")));
    QCOMPARE(inst.run({QStringLiteral("console")}).out, resultRecord(true, false, QString()));
    QCOMPARE(inst.hostCalls(), QList<QStringList>());
}

void TestUpdateCheck::executableAgainstNginx()
{
    if (!NginxServer::isAvailable())
        QSKIP("nginx is not installed");
#ifndef UPDATER_PUBLISH_EXE
    QSKIP("updater-publish is not built");
#endif
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QMap<QString, QByteArray> release{{QStringLiteral("Host.dll"), "library v1"},
                                            {QStringLiteral("data/table.bin"), patternBytes(100000, 3)}};
    QVERIFY(writeRelease(work.filePath(QStringLiteral("release")), release));
    const ToolRun published = runPublish({QStringLiteral("--folder"), QStringLiteral("v1"),
                                          work.filePath(QStringLiteral("release")),
                                          work.filePath(QStringLiteral("www/app"))});
    QVERIFY2(published.exitCode == 0, published.err.constData());
    NginxServer nginx;
    QString error;
    QVERIFY2(nginx.start(work.filePath(QStringLiteral("www")), error), qPrintable(error));

    Installation inst;
    QVERIFY2(inst.isValid(), qPrintable(inst.errorString()));
    QVERIFY(inst.installHost());
    QVERIFY(writeRelease(inst.root(), release));
    QVERIFY(inst.writeConfig({{QStringLiteral("URL"), nginx.baseAddress() + QStringLiteral("/app/")}}));
    const UpdaterRun run = inst.run({QStringLiteral("console")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, resultRecord(true, false, QString()));
    QCOMPARE(readFile(inst.root() + QStringLiteral("/update_md5.info")),
             readFile(work.filePath(QStringLiteral("www/app/v1/md5.txt"))));
    QCOMPARE(nginx.accessLog(), (QStringList{
        QStringLiteral("200 GET \"/app//update.ini\" %1").arg(QFileInfo(work.filePath(QStringLiteral("www/app/update.ini"))).size()),
        QStringLiteral("200 GET \"/app/v1//md5.txt\" %1").arg(QFileInfo(work.filePath(QStringLiteral("www/app/v1/md5.txt"))).size())}));
    QCOMPARE(inst.hostCalls(), QList<QStringList>());

    // Every later start costs one conditional request: the descriptor has not
    // changed, and the list it names is the recorded one.
    QCOMPARE(inst.run({QStringLiteral("console")}).out, resultRecord(true, false, QString()));
    QCOMPARE(nginx.accessLog().mid(2), (QStringList{QStringLiteral("304 GET \"/app//update.ini\" 0")}));
    // A release published over the same folder at once, with a descriptor of the
    // same size, is seen by the next run all the same.
    QVERIFY(writeRelease(work.filePath(QStringLiteral("release")), {{QStringLiteral("Host.dll"), "library v2"}}));
    const ToolRun republished = runPublish({QStringLiteral("--folder"), QStringLiteral("v1"), QStringLiteral("--replace"),
                                            work.filePath(QStringLiteral("release")), work.filePath(QStringLiteral("www/app"))});
    QVERIFY2(republished.exitCode == 0, republished.err.constData());
    QCOMPARE(inst.run({QStringLiteral("console")}).exitCode, 0);
    QCOMPARE(readFile(inst.root() + QStringLiteral("/Host.dll")), QByteArray("library v2"));
}

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
