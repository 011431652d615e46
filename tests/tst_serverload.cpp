// What a fleet of installations costs the server: a check settled by the list's
// hash, conditional requests, push-back with Retry-After, mirrors and staged
// rollouts. In-process against the scriptable server; the decisions of the
// rollout and the reading of Retry-After also on their own.

#include "app/pushback.h"
#include "app/rollout.h"
#include "app/updatecheck.h"
#include "app/updaterun.h"
#include "support/publishrun.h"
#include "support/stdoutcapture.h"
#include "support/testhttpserver.h"
#include "support/updatefixture.h"
#include "update/sha256.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

using Response = TestHttpServer::Response;

Response withHeaders(Response response, const TestHttpServer::HeaderList &headers)
{
    response.headers = headers;
    return response;
}

const QDateTime OldTime = QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC);

} // namespace

class TestServerLoad : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(m_server.start()); }
    void init() { m_server.clearRequests(); }
    void retryAfterValues_data();
    void retryAfterValues();
    void rolloutShares();
    void checkCosts_data();
    void checkCosts();
    void conditionalRequests_data();
    void conditionalRequests();
    void pushBack_data();
    void pushBack();
    void mirrors_data();
    void mirrors();

private:
    TestHttpServer m_server;
};

void TestServerLoad::retryAfterValues_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("seconds");  // from now; -1: no time
    QTest::newRow("seconds") << QByteArray("120") << qint64(120);
    QTest::newRow("HTTP date") << QByteArray("Sun, 06 Nov 2044 08:49:37 GMT") << qint64(3600);
    QTest::newRow("more than a day") << QByteArray("90000") << PushBack::MaxSeconds;
    QTest::newRow("negative") << QByteArray("-5") << qint64(-1);
    QTest::newRow("not a time") << QByteArray("soon") << qint64(-1);
}

void TestServerLoad::retryAfterValues()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, seconds);
    // The date row: an hour before the date it names.
    const QDateTime now = value.contains("GMT") ? QDateTime(QDate(2044, 11, 6), QTime(7, 49, 37), Qt::UTC)
                                                : QDateTime::currentDateTimeUtc();
    const QDateTime time = PushBack::parseRetryAfter(value, now);
    if (seconds < 0)
        QVERIFY(!time.isValid());
    else
        QCOMPARE(now.secsTo(time), seconds);
}

void TestServerLoad::rolloutShares()
{
    // Places are even over installations, and independent from one release to the next.
    constexpr int Installations = 20000;
    QVector<int> share(101);
    int inBoth = 0;
    for (int i = 0; i < Installations; ++i) {
        const QByteArray identity = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        const int place = Rollout::place(identity, QStringLiteral("v2"), "aa");
        QCOMPARE(Rollout::place(identity, QStringLiteral("v2"), "aa"), place);
        for (int percent = 0; percent <= 100; ++percent)
            share[percent] += Rollout::takes(place, percent) ? 1 : 0;
        inBoth += place < 50 && Rollout::place(identity, QStringLiteral("v3"), "bb") < 50 ? 1 : 0;
    }
    QCOMPARE(share[0], 0);
    QCOMPARE(share[100], Installations);
    for (int percent : {1, 10, 50, 90})
        QVERIFY2(qAbs(share[percent] - Installations * percent / 100) < Installations / 70, qPrintable(QString::number(share[percent])));
    QVERIFY2(qAbs(inBoth - Installations / 4) < Installations / 70, qPrintable(QString::number(inBoth)));

    QTemporaryDir root;
    const QByteArray identity = Rollout::identity(QDir(root.path()));
    QCOMPARE(identity.size(), 32);
    QCOMPARE(Rollout::identity(QDir(root.path())), identity);
}

void TestServerLoad::checkCosts_data()
{
    QTest::addColumn<QByteArray>("extra");      // [Version] lines; {hash}: SHA-256 of the list
    QTest::addColumn<QByteArray>("record");     // "list", "older" or "none"
    QTest::addColumn<bool>("repair");
    QTest::addColumn<bool>("listFetched");
    QTest::addColumn<QByteArray>("console");    // the record written: "none", "update" or a message
    QTest::addColumn<bool>("recordKept");       // the record's bytes and time are as before

    QTest::newRow("hash equals the record") << QByteArray("List={hash}\n") << QByteArray("list") << false << false << QByteArray("none") << true;
    QTest::newRow("hash differs") << QByteArray("List={hash}\n") << QByteArray("older") << false << true << QByteArray("update") << true;
    QTest::newRow("repair reads the list") << QByteArray("List={hash}\n") << QByteArray("list") << true << true << QByteArray("none") << true;
    QTest::newRow("no hash, up to date") << QByteArray() << QByteArray("list") << false << true << QByteArray("none") << true;
    QTest::newRow("list not the one named") << QByteArray("List=00\n") << QByteArray("older") << false << true << QByteArray("更新列表文件校验不对") << true;
    QTest::newRow("rollout 0: not out") << QByteArray("List={hash}\nRollout=0\n") << QByteArray("older") << false << false << QByteArray("none") << true;
    QTest::newRow("rollout 0, already taken") << QByteArray("List={hash}\nRollout=0\n") << QByteArray("list") << false << false << QByteArray("none") << true;
}

void TestServerLoad::checkCosts()
{
    QFETCH(QByteArray, extra);
    QFETCH(QByteArray, record);
    QFETCH(bool, repair);
    QFETCH(bool, listFetched);
    QFETCH(QByteArray, console);
    QFETCH(bool, recordKept);

    UpdateFixture f(m_server.baseUrl() + QStringLiteral("/cost"), true);
    f.values.repairMode = repair;
    const QMap<QString, QByteArray> files{{QStringLiteral("a.txt"), "alpha"}};
    QVERIFY(writeFile(f.rootFile(QStringLiteral("a.txt")), record == "older" ? "old alpha" : "alpha"));
    const QByteArray list = fileListFor(files);
    const QString recordPath = f.rootFile(QStringLiteral("update_md5.info"));
    const QByteArray recorded = record == "list" ? list : fileListFor({{QStringLiteral("a.txt"), "old alpha"}});
    QVERIFY(writeFile(recordPath, recorded));
    QFile recordFile(recordPath);
    QVERIFY(recordFile.open(QIODevice::ReadOnly) && recordFile.setFileTime(OldTime, QFileDevice::FileModificationTime));
    recordFile.close();
    extra.replace("{hash}", Sha256::hex(list));
    m_server.setRoute("/cost/update.ini", TestHttpServer::ok(descriptorText("1", "v1", "1.0") + extra));
    m_server.setRoute("/costv1//md5.txt", TestHttpServer::ok(list));

    StdoutCapture capture;
    UpdateCheckResult result;
    const AttemptEnd end = checkForUpdate(f.values, result);
    QCOMPARE(m_server.requestCount("/costv1//md5.txt"), listFetched ? 1 : 0);
    QCOMPARE(m_server.requests().size(), listFetched ? 2 : 1);
    if (console == "update") {
        QCOMPARE(end.kind, AttemptEnd::Download);
        QCOMPARE(capture.bytes(), resultRecord(true, true, QString()));
    } else {
        QCOMPARE(end.kind, AttemptEnd::Finished);
        QCOMPARE(capture.bytes(), resultRecord(console == "none", false, console == "none" ? QString() : QString::fromUtf8(console)));
    }
    QCOMPARE(readFile(recordPath) == recorded && QFileInfo(recordPath).lastModified() == OldTime, recordKept);
    QCOMPARE(QFileInfo::exists(f.rootFile(QStringLiteral("update_id.info"))), extra.contains("Rollout=0") && record != "list");
}

void TestServerLoad::conditionalRequests_data()
{
    QTest::addColumn<TestHttpServer::HeaderList>("validators");  // of the first answer
    QTest::addColumn<QByteArray>("condition");                   // header of the second request
    QTest::addColumn<bool>("notModified");                       // the second answer is a 304
    QTest::addColumn<QByteArray>("secondFolder");                // what the second run lists

    const TestHttpServer::HeaderList strong{{"ETag", "\"5f-1\""}, {"Last-Modified", "Sat, 05 Dec 2026 10:00:00 GMT"}};
    const TestHttpServer::HeaderList weak{{"ETag", "W/\"5f-1\""}, {"Last-Modified", "Sat, 05 Dec 2026 10:00:00 GMT"}};
    QTest::newRow("strong ETag, 304 reuses the kept copy") << strong << QByteArray("If-None-Match: \"5f-1\"") << true << QByteArray("v1");
    QTest::newRow("weak ETag: the date asks") << weak << QByteArray("If-Modified-Since: Sat, 05 Dec 2026 10:00:00 GMT") << true << QByteArray("v1");
    QTest::newRow("a new release is seen") << strong << QByteArray("If-None-Match: \"5f-1\"") << false << QByteArray("v2");
    QTest::newRow("no validator, no condition") << TestHttpServer::HeaderList() << QByteArray() << false << QByteArray("v2");
}

void TestServerLoad::conditionalRequests()
{
    QFETCH(TestHttpServer::HeaderList, validators);
    QFETCH(QByteArray, condition);
    QFETCH(bool, notModified);
    QFETCH(QByteArray, secondFolder);

    UpdateFixture f(m_server.baseUrl() + QStringLiteral("/cond"), true);
    m_server.setRouteSequence("/cond/update.ini", {withHeaders(TestHttpServer::ok(descriptorText("1", "v1", "1")), validators),
                                                   notModified ? TestHttpServer::status(304)
                                                               : TestHttpServer::ok(descriptorText("1", "v2", "2"))});
    for (const QByteArray folder : {"v1", "v2"})
        m_server.setRoute("/cond" + folder + "//md5.txt", withHeaders(TestHttpServer::ok(QByteArray()), validators));
    for (int run = 0; run < 2; ++run) {
        StdoutCapture capture;
        UpdateCheckResult result;
        QCOMPARE(checkForUpdate(f.values, result).kind, AttemptEnd::Finished);
        QCOMPARE(capture.bytes(), resultRecord(true, false, QString()));
    }
    const QList<TestHttpServer::Request> asked = m_server.requestsFor("/cond/update.ini");
    QCOMPARE(asked.size(), 2);
    QVERIFY(asked.first().header("If-None-Match").isNull() && asked.first().header("If-Modified-Since").isNull());
    const int colon = condition.indexOf(':');
    QCOMPARE(asked.last().header(condition.left(colon)), condition.mid(colon + 2));
    QCOMPARE(m_server.requestCount("/cond" + secondFolder + "//md5.txt"), secondFolder == "v1" ? 2 : 1);
    // The kept list is asked for conditionally too.
    if (secondFolder == "v1")
        QCOMPARE(m_server.requestsFor("/condv1//md5.txt").last().header(condition.left(colon)), condition.mid(colon + 2));
}

void TestServerLoad::pushBack_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<bool>("repair");
    QTest::addColumn<bool>("heldBack");   // the second run sends nothing
    QTest::newRow("503, seconds") << 503 << QByteArray("600") << false << true;
    QTest::newRow("429, HTTP date") << 429 << QDateTime::currentDateTimeUtc().addSecs(600).toString(QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'")).toLatin1() << false << true;
    QTest::newRow("repair is held back too") << 503 << QByteArray("600") << true << true;
    QTest::newRow("time passed") << 503 << QByteArray("1") << false << false;
    QTest::newRow("404 is no push-back") << 404 << QByteArray("600") << false << false;
}

void TestServerLoad::pushBack()
{
    QFETCH(int, status);
    QFETCH(QByteArray, retryAfter);
    QFETCH(bool, repair);
    QFETCH(bool, heldBack);

    UpdateFixture f(m_server.baseUrl() + QStringLiteral("/busy"), true);
    f.values.repairMode = repair;
    m_server.setRoute("/busy/update.ini", withHeaders(TestHttpServer::status(status), {{"Retry-After", retryAfter}}));
    {
        StdoutCapture capture;
        QCOMPARE(runUpdate(f.values), 1);
        QVERIFY(capture.bytes().startsWith("{\"errormsg\":\"下载升级描述文件失败:"));
    }
    if (retryAfter == "1")
        QTest::qWait(2100);
    StdoutCapture capture;
    QCOMPARE(runUpdate(f.values), 1);
    QCOMPARE(m_server.requests().size(), heldBack ? 1 : 2);
    QCOMPARE(capture.bytes().contains("服务器繁忙，请在"), heldBack);
    // Without a console, a held-back run shows nothing and starts the host.
    if (heldBack) {
        f.values.consoleMode = false;
        QCOMPARE(runUpdate(f.values), 1);
        QCOMPARE(f.inst.hostCalls().size(), 1);
        QCOMPARE(m_server.requests().size(), 1);
    }
}

void TestServerLoad::mirrors_data()
{
    QTest::addColumn<QStringList>("failing");  // "refused", "descriptor 503", "file 404": the first address; "second 404s"
    QTest::addColumn<int>("exitCode");
    QTest::newRow("first refused") << QStringList{"refused"} << 0;
    QTest::newRow("first answers 503") << QStringList{"descriptor 503"} << 0;
    QTest::newRow("first lacks a file") << QStringList{"file 404"} << 0;
    QTest::newRow("first pushes back on a file") << QStringList{"file 503"} << 0;
    QTest::newRow("no address serves") << QStringList{"descriptor 503", "second 404s"} << 1;
}

void TestServerLoad::mirrors()
{
    QFETCH(QStringList, failing);
    QFETCH(int, exitCode);

    const QString tag = QString::number(QTest::currentDataTag()[0] + 0) + QString::number(qHash(QString::fromLatin1(QTest::currentDataTag())));
    const QByteArray one = ("/m1-" + tag).toLatin1(), two = ("/m2-" + tag).toLatin1();
    UpdateFixture f(QString(), true);
    const QString first = failing.contains(QStringLiteral("refused")) ? QStringLiteral("http://127.0.0.1:1") + QString::fromLatin1(one)
                                                                      : m_server.baseUrl() + QString::fromLatin1(one);
    f.values.updateUrls = QStringList{first, m_server.baseUrl() + QString::fromLatin1(two)};
    f.values.updateUrl = first;
    const QMap<QString, QByteArray> files{{QStringLiteral("a.txt"), "alpha"}, {QStringLiteral("b.txt"), "beta"}};
    for (const QByteArray &prefix : {one, two}) {
        m_server.setRoute(prefix + "/update.ini", TestHttpServer::ok(descriptorText("1", "v1", "1.0")));
        m_server.setRoute(prefix + "v1//md5.txt", TestHttpServer::ok(fileListFor(files)));
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            m_server.setRoute(prefix + "v1/" + it.key().toLatin1(), TestHttpServer::ok(it.value()));
    }
    if (failing.contains(QStringLiteral("descriptor 503")))
        m_server.setRoute(one + "/update.ini", TestHttpServer::status(503));
    if (failing.contains(QStringLiteral("file 404")))
        m_server.removeRoute(one + "v1/b.txt");
    if (failing.contains(QStringLiteral("file 503")))
        m_server.setRoute(one + "v1/b.txt", withHeaders(TestHttpServer::status(503), {{"Retry-After", "600"}}));
    if (failing.contains(QStringLiteral("second 404s")))
        m_server.removeRoute(two + "/update.ini");

    StdoutCapture capture;
    QCOMPARE(runUpdate(f.values), exitCode);
    QCOMPARE(PushBack(f.values.rootDir).until(first).isValid(), failing.contains(QStringLiteral("file 503")));
    if (exitCode == 0) {
        QCOMPARE(readFile(f.rootFile(QStringLiteral("b.txt"))), QByteArray("beta"));
    } else {
        // The first address's failure, not the last one's.
        QCOMPARE(capture.bytes(), resultRecord(false, false, QStringLiteral("下载升级描述文件失败:HTTP 503 Service Unavailable")));
    }
}

QTEST_MAIN(TestServerLoad)
#include "tst_serverload.moc"
