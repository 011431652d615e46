#pragma once

// TestHttpServer's side of a connection on which the client chose "h2" by ALPN,
// speaking just enough HTTP/2 for a header block without end. It sends an empty
// SETTINGS frame, acknowledges the client's SETTINGS and PINGs, ignores other
// frames, and answers the first HEADERS frame (stream N) with a HEADERS frame for
// N holding ":status: 200" without END_HEADERS or END_STREAM, then CONTINUATION
// frames for N of about 8 KiB, each of literal fields "x-flood-<n>: <1000 bytes>",
// as fast as the peer reads, until it resets N, sends GOAWAY or goes away. Once
// the block has begun nothing else is sent (HTTP/2 allows no other frame inside
// it), so later streams go unanswered. Request headers are not decoded (no HPACK
// decoder): routes are not consulted, and the request is recorded with version
// "HTTP/2" and an empty target.

#include <QByteArray>
#include <QObject>

class QTcpSocket;
class TestHttpServer;

class TestHttp2Flood : public QObject
{
public:
    /// Takes over socket, whose TLS handshake chose "h2"; number as in Request::connection.
    TestHttp2Flood(TestHttpServer *owner, QTcpSocket *socket, int number, QObject *parent);
    ~TestHttp2Flood() override;

private:
    void readInput();
    void pump();

    TestHttpServer *m_owner;
    QTcpSocket *m_socket;
    int m_number;
    QByteArray m_in;
    bool m_prefaceRead = false;
    quint32 m_stream = 0; ///< the stream being flooded, 0 before the first request
    qint64 m_fields = 0;  ///< flood fields sent, for their names
};
