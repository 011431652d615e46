#include "support/testhttpserver.h"
#include "support/testtls.h"
#include "net/chttpaccessmanager.h"
#include "net/httprequest.h"
#include "update/md5.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using Response = TestHttpServer::Response;
Q_DECLARE_METATYPE(Response)

namespace {

// Keeps a weak pointer to every reply it creates, so a test can see whether the
// reply was released and whether it was aborted. The updater's own manager: HTTPS
// goes through curl, plain HTTP with a verb through Qt.
class RecordingManager : public CHttpAccessManager
{
public:
    QList<QPointer<QNetworkReply>> replies;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override
    {
        QNetworkReply *reply = CHttpAccessManager::createRequest(op, request, outgoingData);
        replies.append(reply);
        return reply;
    }
};

// What the HTTP library itself reports for this address: fetched with a plain
// GET on a separate manager, the way no code of ours is involved.
QString libraryErrorText(const QUrl &url)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(url));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(10000);
    const QString text = reply->errorString();
    delete reply;
    return text;
}

Response cutResponse(const QByteArray &body, TestHttpServer::Cut cut, qint64 after,
                     TestHttpServer::Framing framing = TestHttpServer::Framing::ContentLength)
{
    Response r = TestHttpServer::ok(body);
    r.cut = cut;
    r.cutAfterBytes = after;
    r.framing = framing;
    return r;
}

} // namespace

class TestHttpRequest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void succeeds_data();
    void succeeds();
    void succeedsWithServerOnTestThread();
    void fails_data();
    void fails();
    void failsOverTls_data();
    void failsOverTls();
    void http2HeaderBlockIsBounded();
    void credentialsOverTlsAnswerARefusal();
    void resetAndResendIsNotASuccess();
    void timesOut_data();
    void timesOut();
    void zeroOrNegativeTimeoutWaits_data();
    void zeroOrNegativeTimeoutWaits();
    void hugeTimeoutDoesNotOverflow();
    void unreachablePortGivesLibraryText();
    void noReplyGivesSendFailure();
    void lastDuplicateResponseHeaderWins();
    void requestHeadersSentInKeyOrder();
    void emptyRequestHeadersAddOnlyIdentity();
    void verbAndBodySentUnchanged();
    void keptAliveConnectionIsReused();
    void routeRecoversAfterFailures();

private:
    /// Serves over TLS (h2 offered when http2), trusted through the default
    /// configuration until cleanup(); false when it cannot.
    bool serveTls(bool http2);
    /// Sends a GET for /x and checks the failure the way fails() does.
    void checkFailure(qint64 maxBodySize, QString expected);

    QTemporaryDir m_files;
    TestCertificates m_tls;
    QSslConfiguration m_defaultTls;
    TestHttpServer *m_server = nullptr;
    RecordingManager *m_manager = nullptr;
};

void TestHttpRequest::initTestCase()
{
    QString error;
    QVERIFY2(makeTestCertificates(m_files.path(), m_tls, error), qPrintable(error));
    m_defaultTls = QSslConfiguration::defaultConfiguration();
}

void TestHttpRequest::init()
{
    m_server = new TestHttpServer;
    QVERIFY(m_server->start());
    m_manager = new RecordingManager;
}

void TestHttpRequest::cleanup()
{
    delete m_manager;
    m_manager = nullptr;
    delete m_server;
    m_server = nullptr;
    QSslConfiguration::setDefaultConfiguration(m_defaultTls);
}

bool TestHttpRequest::serveTls(bool http2)
{
    delete m_server;
    m_server = new TestHttpServer;
    if (!m_server->setTls(m_tls.certificate, m_tls.key, http2) || !m_server->start())
        return false;
    QSslConfiguration trusting = m_defaultTls;
    trusting.addCaCertificates(QSslCertificate::fromPath(m_tls.authority));
    QSslConfiguration::setDefaultConfiguration(trusting);
    return true;
}

void TestHttpRequest::succeeds_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<QByteArray>("body");

    const QByteArray ini = "[Summary]\r\nUpdateType=1\r\n[Version]\r\nFolder=v10\r\n";
    QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>((quint32(i) * 7919u) >> 3);

    QTest::newRow("content-length") << TestHttpServer::ok(ini) << ini;
    QTest::newRow("empty body") << TestHttpServer::ok(QByteArray()) << QByteArray();
    Response chunked = TestHttpServer::ok(ini);
    chunked.framing = TestHttpServer::Framing::Chunked;
    chunked.writeChunkSize = 5;
    QTest::newRow("chunked") << chunked << ini;
    Response closeDelimited = TestHttpServer::ok(ini);
    closeDelimited.framing = TestHttpServer::Framing::CloseDelimited;
    QTest::newRow("close-delimited") << closeDelimited << ini;
    Response trickled = TestHttpServer::ok(ini);
    trickled.writeChunkSize = 7;
    trickled.writeIntervalMs = 20;
    QTest::newRow("trickled") << trickled << ini;
    QTest::newRow("multi-megabyte") << TestHttpServer::ok(large) << large;

    const QString bodyPath = m_files.filePath(QStringLiteral("body.bin"));
    QFile bodyFile(bodyPath);
    QVERIFY(bodyFile.open(QIODevice::WriteOnly) && bodyFile.write(large) == large.size());
    bodyFile.close();
    QTest::newRow("streamed from a file") << TestHttpServer::file(bodyPath) << large;
    Response chunkedFile = TestHttpServer::file(bodyPath);
    chunkedFile.framing = TestHttpServer::Framing::Chunked;
    QTest::newRow("streamed from a file, chunked") << chunkedFile << large;
}

void TestHttpRequest::succeeds()
{
    QFETCH(Response, response);
    QFETCH(QByteArray, body);
    m_server->setRoute("/pub/appBase//update.ini", response);

    QByteArray responseBody = "previous";
    QString errorText = QStringLiteral("untouched");
    const bool ok = sendHttpRequest(m_manager, m_server->url(QStringLiteral("/pub/appBase//update.ini")),
                                    responseBody, errorText, 5, RawHeaderMap(), "GET", QByteArray());
    QVERIFY2(ok, qPrintable(errorText));
    QCOMPARE(responseBody.size(), body.size());
    QCOMPARE(responseBody, body);
    QCOMPARE(errorText, QStringLiteral("untouched"));
    // Qt resends a request once when the close of a close-delimited answer is
    // seen before the answer itself, taking it for a dropped kept-alive link.
    const int requests = m_server->requestCount("/pub/appBase//update.ini");
    QVERIFY2(requests == 1 || (requests == 2 && response.framing == TestHttpServer::Framing::CloseDelimited),
             qPrintable(QString::number(requests)));
    QCOMPARE(m_server->requests().at(0).requestLine, QByteArray("GET /pub/appBase//update.ini HTTP/1.1"));
    QCOMPARE(m_manager->replies.size(), 1);
    QTRY_VERIFY(m_manager->replies.at(0).isNull());
}

void TestHttpRequest::succeedsWithServerOnTestThread()
{
    // The nested loop of sendHttpRequest also drives a server on the same thread.
    TestHttpServer local;
    QVERIFY(local.listen());
    local.setRoute("/md5.txt", TestHttpServer::ok("list"));
    QByteArray body;
    QString error;
    QVERIFY(sendHttpRequest(m_manager, local.url(QStringLiteral("/md5.txt")), body, error, 5,
                            RawHeaderMap(), "GET", QByteArray()));
    QCOMPARE(body, QByteArray("list"));
    QCOMPARE(error, QString());
}

void TestHttpRequest::fails_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<QString>("expected"); // empty: the library's own text for the reply

    QTest::newRow("404") << TestHttpServer::status(404, "no such file") << qint64(0) << QStringLiteral("HTTP 404 Not Found");
    QTest::newRow("500") << TestHttpServer::status(500, "broken") << qint64(0) << QStringLiteral("HTTP 500 Internal Server Error");
    QTest::newRow("503") << TestHttpServer::status(503, "busy") << qint64(0) << QStringLiteral("HTTP 503 Service Unavailable");
    // Without a transport error Qt has only "Unknown error" to say about these.
    Response moved = TestHttpServer::status(301, "moved");
    moved.headers.append(qMakePair(QByteArray("Location"), QByteArray("/elsewhere")));
    QTest::newRow("301 not followed") << moved << qint64(0) << QStringLiteral("HTTP 301 Moved Permanently");
    Response found = TestHttpServer::status(302, "found");
    found.headers.append(qMakePair(QByteArray("Location"), QByteArray("/elsewhere")));
    found.reason = "Somewhere Else";
    QTest::newRow("302 not followed") << found << qint64(0) << QStringLiteral("HTTP 302 Somewhere Else");
    QTest::newRow("204") << TestHttpServer::status(204) << qint64(0) << QStringLiteral("HTTP 204 No Content");
    Response partial = TestHttpServer::status(206, "part");
    partial.headers.append(qMakePair(QByteArray("Content-Range"), QByteArray("bytes 0-3/100")));
    QTest::newRow("206") << partial << qint64(0) << QStringLiteral("HTTP 206 Partial Content");

    const QByteArray body(4000, 'x');
    using Cut = TestHttpServer::Cut;
    QTest::newRow("200 closed mid-body") << cutResponse(body, Cut::Close, 1000) << qint64(0) << QString();
    QTest::newRow("200 reset mid-body") << cutResponse(body, Cut::Reset, 1000) << qint64(0) << QString();
    QTest::newRow("200 closed after headers") << cutResponse(body, Cut::Close, 0) << qint64(0) << QString();
    // No row for a chunked body cut by a closed connection: Qt 5.15 now and then
    // finishes such a reply without error (a close while reading a body counts
    // as its end), so the outcome is not deterministic. Stalled chunked bodies
    // are covered by timesOut.
    Response dropped;
    dropped.answer = TestHttpServer::Answer::CloseWithoutReply;
    QTest::newRow("closed without reply") << dropped << qint64(0) << QString();

    // Asked for the identity encoding, a server that compresses anyway is refused
    // before a byte is inflated, whatever the bytes are.
    QTest::newRow("gzip bomb") << TestHttpServer::gzipBomb(64 * 1024 * 1024) << qint64(0) << QStringLiteral("不支持的内容编码:gzip");
    Response deflated = TestHttpServer::ok("not really deflated");
    deflated.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("deflate")));
    QTest::newRow("deflate") << deflated << qint64(0) << QStringLiteral("不支持的内容编码:deflate");

    const QString tooLarge = QStringLiteral("内容超过1000字节的上限");
    QTest::newRow("announced over the limit") << TestHttpServer::ok(QByteArray(1001, 'a'))
                                              << qint64(1000) << tooLarge;
    Response endless = TestHttpServer::ok("0123456789abcdef");
    endless.repeatedSize = -1;
    endless.framing = TestHttpServer::Framing::Chunked;
    // Qt 5.15 reads on in its network thread while the socket never runs dry, and
    // may take seconds to hand anything over; a short pause now and then, as any
    // real server makes, lets it.
    endless.writeChunkSize = 64 * 1024;
    endless.writeIntervalMs = 10;
    QTest::newRow("endless chunked") << endless << qint64(1000) << tooLarge;
    endless.framing = TestHttpServer::Framing::CloseDelimited;
    QTest::newRow("endless close-delimited") << endless << qint64(1000) << tooLarge;
    Response endlessLength = endless;
    endlessLength.framing = TestHttpServer::Framing::ContentLength;
    QTest::newRow("endless with a length") << endlessLength << qint64(1000) << tooLarge;
}

void TestHttpRequest::fails()
{
    QFETCH(Response, response);
    QFETCH(qint64, maxBodySize);
    QFETCH(QString, expected);
    m_server->setRoute("/x", response);
    if (expected.isEmpty()) {
        expected = libraryErrorText(m_server->url(QStringLiteral("/x")));
        QVERIFY(!expected.isEmpty());
        QVERIFY(expected != QStringLiteral("网络超时"));
    }
    checkFailure(maxBodySize, expected);
}

void TestHttpRequest::failsOverTls_data()
{
    fails_data();
    Response flood;
    flood.answer = TestHttpServer::Answer::HeaderFlood;
    QTest::newRow("endless header section") << flood << qint64(0) << QStringLiteral("HTTP header section too large");
}

void TestHttpRequest::failsOverTls()
{
    // The same answers over HTTPS, which goes through curl: the same texts, but for
    // broken transfers, where each library has its own words.
    QFETCH(Response, response);
    QFETCH(qint64, maxBodySize);
    QFETCH(QString, expected);
    QVERIFY(serveTls(false));
    m_server->setRoute("/x", response);
    checkFailure(maxBodySize, expected);
    QVERIFY(m_server->floodBytesSent() < 64 * 1024 * 1024);
}

void TestHttpRequest::http2HeaderBlockIsBounded()
{
    // A HEADERS frame and then CONTINUATION frames without end: Qt 5.15's HTTP/2
    // client collected them until memory ran out. nghttp2 ends the block after a
    // few frames (curl's text says so), long before the time-out.
    QVERIFY(serveTls(true));
    Response flood;
    flood.answer = TestHttpServer::Answer::HeaderFlood;
    m_server->setRoute("/x", flood);
    checkFailure(0, QString());
    // No more than the sockets' buffers hold: curl keeps the broken connection,
    // unread, until its manager goes with the run. Qt's client read hundreds of
    // megabytes before the time-out.
    QVERIFY(m_server->floodBytesSent() < 64 * 1024 * 1024);
}

void TestHttpRequest::credentialsOverTlsAnswerARefusal()
{
    // As Qt does: the address's credentials are sent once the server asks, and the
    // refusal itself never reaches the caller.
    QVERIFY(serveTls(false));
    Response refusal = TestHttpServer::status(401, "who are you");
    refusal.headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"updates\"")));
    m_server->setRouteSequence("/x", {refusal, TestHttpServer::ok("descriptor")});
    QUrl url = m_server->url(QStringLiteral("/x"));
    url.setUserInfo(QStringLiteral("bob:s3cret"));
    QByteArray body;
    QString error;
    QVERIFY2(sendHttpRequest(m_manager, url, body, error, 5, RawHeaderMap(), "GET", QByteArray()),
             qPrintable(error));
    QCOMPARE(body, QByteArray("descriptor"));
    const QList<TestHttpServer::Request> requests = m_server->requestsFor("/x");
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).header("Authorization"), QByteArray());
    QCOMPARE(requests.at(1).header("Authorization"), "Basic " + QByteArray("bob:s3cret").toBase64());
}

void TestHttpRequest::checkFailure(qint64 maxBodySize, QString expected)
{
    const QUrl url = m_server->url(QStringLiteral("/x"));
    QByteArray body = "previous";
    QString error;
    RawHeaderMap headers{{"Kept", "yes"}};
    QVERIFY(!sendHttpRequest(m_manager, url, body, error, 5, RawHeaderMap(), "GET", QByteArray(),
                             &headers, maxBodySize));
    if (expected.isEmpty())
        QVERIFY(!error.isEmpty() && error != QStringLiteral("网络超时"));
    else
        QCOMPARE(error, expected);
    QCOMPARE(body, QByteArray("previous"));
    QCOMPARE(headers.value("Kept"), QByteArray("yes"));
    QCOMPARE(m_server->requestCount("/elsewhere"), 0);
    if (!m_server->requests().constLast().version.startsWith("HTTP/2"))
        QCOMPARE(m_server->requests().constLast().header("Accept-Encoding"), QByteArray("identity"));
    QCOMPARE(m_manager->replies.size(), 1);
    QTRY_VERIFY(m_manager->replies.at(0).isNull());
}

void TestHttpRequest::resetAndResendIsNotASuccess()
{
    // Headers and part of a body, a pause, a reset: Qt 5.15 sends the request again
    // and, depending on timing, finishes with status 200, no error and the part it
    // had. Only the announced length exposes that; repeated until the race showed.
    const QByteArray whole(159, 'l');
    Response cut = cutResponse(whole, TestHttpServer::Cut::Reset, 106);
    cut.cutDelayMs = 300;
    Response refused;
    refused.answer = TestHttpServer::Answer::ResetWithoutReply;
    const QString truncated = QStringLiteral("内容不完整:收到106字节，应为159字节");
    int seen = 0;
    for (int i = 0; i < 24 && seen == 0; ++i) {
        const QByteArray target = "/resend" + QByteArray::number(i);
        m_server->setRouteSequence(target, {cut, refused});
        QByteArray body = "previous";
        QString error;
        QVERIFY(!sendHttpRequest(m_manager, m_server->url(QString::fromLatin1(target)), body, error,
                                 5, RawHeaderMap(), "GET", QByteArray()));
        QCOMPARE(body, QByteArray("previous"));
        if (error == truncated)
            ++seen;
        else
            QVERIFY(!error.isEmpty());
    }
    // Every try above was still checked: no success, nothing stored. Only the race
    // itself may fail to show on a loaded machine; that is reported, not failed.
    if (seen == 0)
        QSKIP("Qt never finished a cut reply as a success in 24 tries; the race went untested");
}

void TestHttpRequest::timesOut_data()
{
    QTest::addColumn<Response>("response");

    Response never;
    never.answer = TestHttpServer::Answer::Never;
    QTest::newRow("never answers") << never;
    const QByteArray body(4000, 'y');
    QTest::newRow("200 headers then stall") << cutResponse(body, TestHttpServer::Cut::Stall, 0);
    QTest::newRow("200 part of body then stall") << cutResponse(body, TestHttpServer::Cut::Stall, 1500);
    QTest::newRow("200 chunked body, no last chunk")
            << cutResponse(body, TestHttpServer::Cut::Stall, body.size(), TestHttpServer::Framing::Chunked);
    Response late = TestHttpServer::ok("late");
    late.delayMs = 4000;
    QTest::newRow("answers after the time-out") << late;
}

void TestHttpRequest::timesOut()
{
    QFETCH(Response, response);
    m_server->setRoute("/stall", response);

    QByteArray body = "previous";
    QString error;
    RawHeaderMap headers{{"Kept", "yes"}};
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!sendHttpRequest(m_manager, m_server->url(QStringLiteral("/stall")), body, error, 1,
                             RawHeaderMap(), "GET", QByteArray(), &headers));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(error, QStringLiteral("网络超时"));
    QCOMPARE(body, QByteArray("previous"));
    QCOMPARE(headers, (RawHeaderMap{{"Kept", "yes"}}));
    QVERIFY2(elapsed >= 900 && elapsed <= 2000, qPrintable(QString::number(elapsed)));

    // Released by deferred deletion, not aborted: at return it is still unfinished
    // and without error.
    QCOMPARE(m_manager->replies.size(), 1);
    QPointer<QNetworkReply> reply = m_manager->replies.at(0);
    QVERIFY(!reply.isNull());
    QVERIFY(!reply->isFinished());
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QTRY_VERIFY(reply.isNull());
}

void TestHttpRequest::zeroOrNegativeTimeoutWaits_data()
{
    QTest::addColumn<int>("timeoutSeconds");
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
    QTest::newRow("INT_MIN") << std::numeric_limits<int>::min();
}

void TestHttpRequest::zeroOrNegativeTimeoutWaits()
{
    QFETCH(int, timeoutSeconds);
    Response slow = TestHttpServer::ok("slow but complete");
    slow.delayMs = 1500;
    m_server->setRoute("/slow", slow);

    QByteArray body;
    QString error;
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/slow")), body, error,
                             timeoutSeconds, RawHeaderMap(), "GET", QByteArray()),
             qPrintable(error));
    QVERIFY(clock.elapsed() >= 1400);
    QCOMPARE(body, QByteArray("slow but complete"));
}

void TestHttpRequest::hugeTimeoutDoesNotOverflow()
{
    // 2,147,484 s and more no longer fit in int milliseconds; the sanitizer build
    // catches the overflow, a wrapped value would time out at once.
    const QList<int> timeouts{2147484, std::numeric_limits<int>::max()};
    m_server->setRoute("/a", TestHttpServer::ok("a"));
    for (int timeout : timeouts) {
        QByteArray body;
        QString error;
        QVERIFY2(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/a")), body, error, timeout,
                                 RawHeaderMap(), "GET", QByteArray()),
                 qPrintable(error));
        QCOMPARE(body, QByteArray("a"));
    }
}

void TestHttpRequest::unreachablePortGivesLibraryText()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/update.ini").arg(probe.serverPort()));
    probe.close();
    const QString expected = libraryErrorText(url);
    QVERIFY(!expected.isEmpty());

    QByteArray body = "previous";
    QString error;
    QVERIFY(!sendHttpRequest(m_manager, url, body, error, 5, RawHeaderMap(), "GET", QByteArray()));
    QCOMPARE(error, expected);
    QCOMPARE(body, QByteArray("previous"));
}

void TestHttpRequest::noReplyGivesSendFailure()
{
    // Qt 5.15's QNetworkAccessManager dereferences the reply of createRequest()
    // before handing it out, so a manager cannot return none; a missing manager is
    // the way to get there.
    QByteArray body = "previous";
    QString error = QStringLiteral("old");
    QVERIFY(!sendHttpRequest(nullptr, m_server->url(QStringLiteral("/a")), body, error, 5,
                             RawHeaderMap(), "GET", QByteArray()));
    QCOMPARE(error, QStringLiteral("发送请求失败"));
    QCOMPARE(body, QByteArray("previous"));
    QCOMPARE(m_server->requestCount(), 0);
}

void TestHttpRequest::lastDuplicateResponseHeaderWins()
{
    Response r = TestHttpServer::ok("body");
    r.headers = {{"X-Dup", "first"}, {"X-Other", "o"}, {"X-Dup", "second"}, {"X-Dup", "third"}};
    m_server->setRoute("/h", r);

    QByteArray body;
    QString error;
    RawHeaderMap headers{{"Already", "there"}, {"X-Other", "old"}};
    QVERIFY2(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/h")), body, error, 5,
                             RawHeaderMap(), "GET", QByteArray(), &headers),
             qPrintable(error));
    // Qt folds a repeated name into one pair, "first, second, third", so the
    // reply lists the name once; its value ends with the last occurrence, and
    // it is exactly what the library reports for that name.
    QByteArray folded;
    {
        QNetworkAccessManager reference;
        QNetworkReply *reply = reference.get(QNetworkRequest(m_server->url(QStringLiteral("/h"))));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        folded = reply->rawHeader("X-Dup");
        delete reply;
    }
    QCOMPARE(headers.value("X-Dup"), folded);
    QVERIFY(headers.value("X-Dup").endsWith("third"));
    QCOMPARE(headers.keys().count("X-Dup"), 1);
    QCOMPARE(headers.value("X-Other"), QByteArray("o"));
    QCOMPARE(headers.value("Already"), QByteArray("there"));
    QCOMPARE(headers.value("Content-Length"), QByteArray("4"));

    // Without a header map the outcome is otherwise the same.
    QByteArray plainBody;
    QVERIFY(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/h")), plainBody, error, 5,
                            RawHeaderMap(), "GET", QByteArray()));
    QCOMPARE(plainBody, body);
}

void TestHttpRequest::requestHeadersSentInKeyOrder()
{
    m_server->setRoute("/h", TestHttpServer::ok("x"));
    // Byte-wise order: "X-B" (0x42) before "X-a" (0x61), "X-Zz" before "X-a".
    const RawHeaderMap request{{"X-a", "3"}, {"X-B", "1"}, {"X-Zz", "2"}, {"X-b1", "4 with  spaces"}};
    QByteArray body;
    QString error;
    QVERIFY2(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/h")), body, error, 5, request,
                             "GET", QByteArray()),
             qPrintable(error));
    QCOMPARE(m_server->requestCount(), 1);
    QList<QByteArray> names;
    QList<QByteArray> values;
    const auto received = m_server->requests().at(0).headers;
    for (const auto &h : received) {
        if (h.first.startsWith("X-")) {
            names.append(h.first);
            values.append(h.second);
        }
    }
    QCOMPARE(names, (QList<QByteArray>{"X-B", "X-Zz", "X-a", "X-b1"}));
    QCOMPARE(values, (QList<QByteArray>{"1", "2", "3", "4 with  spaces"}));
}

void TestHttpRequest::emptyRequestHeadersAddOnlyIdentity()
{
    m_server->setRoute("/h", TestHttpServer::ok("x"));
    {
        QNetworkAccessManager reference;
        QNetworkRequest request(m_server->url(QStringLiteral("/h")));
        request.setRawHeader("Accept-Encoding", "identity");
        QNetworkReply *reply = reference.sendCustomRequest(request, "GET", QByteArray());
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        delete reply;
    }
    QByteArray body;
    QString error;
    QVERIFY(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/h")), body, error, 5,
                            RawHeaderMap(), "GET", QByteArray()));
    const QList<TestHttpServer::Request> requests = m_server->requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(1).requestLine, requests.at(0).requestLine);
    QCOMPARE(requests.at(1).headers, requests.at(0).headers);
}

void TestHttpRequest::verbAndBodySentUnchanged()
{
    m_server->setRoute("/v", TestHttpServer::ok("done"));
    const QByteArray payload("a\0b\r\nc", 6);
    QByteArray body;
    QString error;
    QVERIFY2(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/v")), body, error, 5,
                             RawHeaderMap{{"Content-Type", "application/octet-stream"}}, "PROPFIND",
                             payload),
             qPrintable(error));
    QCOMPARE(m_server->requestCount(), 1);
    const TestHttpServer::Request received = m_server->requests().at(0);
    QCOMPARE(received.method, QByteArray("PROPFIND"));
    QCOMPARE(received.body, payload);
    QCOMPARE(body, QByteArray("done"));
}

void TestHttpRequest::keptAliveConnectionIsReused()
{
    m_server->setRoute("/a", TestHttpServer::ok("a"));
    m_server->setRoute("/b", TestHttpServer::ok("b"));
    QByteArray body;
    QString error;
    QVERIFY(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/a")), body, error, 5,
                            RawHeaderMap(), "GET", QByteArray()));
    QVERIFY(sendHttpRequest(m_manager, m_server->url(QStringLiteral("/b")), body, error, 5,
                            RawHeaderMap(), "GET", QByteArray()));
    QCOMPARE(body, QByteArray("b"));
    QCOMPARE(m_server->connectionCount(), 1);
    QCOMPARE(m_server->requests().at(1).connection, 1);
}

void TestHttpRequest::routeRecoversAfterFailures()
{
    m_server->setRouteSequence("/r", {TestHttpServer::status(500), TestHttpServer::status(503),
                                      TestHttpServer::ok("recovered")});
    const QUrl url = m_server->url(QStringLiteral("/r"));
    QByteArray body;
    QString error;
    QVERIFY(!sendHttpRequest(m_manager, url, body, error, 5, RawHeaderMap(), "GET", QByteArray()));
    QVERIFY(!sendHttpRequest(m_manager, url, body, error, 5, RawHeaderMap(), "GET", QByteArray()));
    QVERIFY(sendHttpRequest(m_manager, url, body, error, 5, RawHeaderMap(), "GET", QByteArray()));
    QCOMPARE(body, QByteArray("recovered"));
    body.clear();
    QVERIFY(sendHttpRequest(m_manager, url, body, error, 5, RawHeaderMap(), "GET", QByteArray()));
    QCOMPARE(body, QByteArray("recovered"));
    QCOMPARE(m_server->requestCount("/r"), 4);

    // A route replaced while the server runs answers the new way at once.
    m_server->setRoute("/r", TestHttpServer::status(404));
    QVERIFY(!sendHttpRequest(m_manager, url, body, error, 5, RawHeaderMap(), "GET", QByteArray()));
}

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "tst_httprequest.moc"
