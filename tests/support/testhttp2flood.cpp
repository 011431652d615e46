#include "support/testhttp2flood.h"

#include "support/testhttpserver.h"

#include <QtEndian>

namespace {

constexpr qint64 WriteHighWater = 256 * 1024; // as TestHttpServer's
constexpr int FrameHeaderSize = 9;
constexpr int MaxFrameSize = 16384; // the least a peer accepts; ours is never raised

enum FrameType : quint8 { Headers = 1, RstStream = 3, Settings = 4, Ping = 6, GoAway = 7, Continuation = 9 };
constexpr quint8 AckFlag = 0x1;

QByteArray frame(quint8 type, quint8 flags, quint32 stream, const QByteArray &payload)
{
    QByteArray out(FrameHeaderSize, '\0');
    qToBigEndian<quint32>(quint32(payload.size()) << 8 | type, out.data()); // 24-bit length, type
    out[4] = char(flags);
    qToBigEndian<quint32>(stream, out.data() + 5);
    return out + payload;
}

// An HPACK string: length as an integer with a 7-bit prefix, high bit 0 (no Huffman).
void appendString(QByteArray &out, const QByteArray &text)
{
    int length = text.size();
    if (length < 127) {
        out.append(char(length));
    } else {
        out.append(char(127));
        for (length -= 127; length >= 128; length /= 128)
            out.append(char(length % 128 + 128));
        out.append(char(length));
    }
    out.append(text);
}

} // namespace

TestHttp2Flood::TestHttp2Flood(TestHttpServer *owner, QTcpSocket *socket, int number, QObject *parent)
    : QObject(parent), m_owner(owner), m_socket(socket), m_number(number)
{
    m_owner->follow(this, m_socket, [this] { readInput(); }, [this] { pump(); });
    m_socket->write(frame(Settings, 0, 0, QByteArray()));
    readInput();
}

TestHttp2Flood::~TestHttp2Flood()
{
    m_socket->disconnect(this);
    m_owner->connectionClosed();
}

void TestHttp2Flood::readInput()
{
    static const QByteArray preface("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
    m_in.append(m_socket->readAll());
    if (!m_prefaceRead && !preface.startsWith(m_in.left(preface.size())))
        return m_socket->disconnectFromHost();
    if (!m_prefaceRead && m_in.size() >= preface.size()) {
        m_in.remove(0, preface.size());
        m_prefaceRead = true;
    }
    while (m_prefaceRead && m_in.size() >= FrameHeaderSize
           && m_socket->state() == QAbstractSocket::ConnectedState) {
        const auto *head = reinterpret_cast<const uchar *>(m_in.constData());
        const int length = int(qFromBigEndian<quint32>(head) >> 8);
        if (length > MaxFrameSize)
            return m_socket->disconnectFromHost();
        if (m_in.size() < FrameHeaderSize + length)
            return;
        const quint8 type = head[3];
        const bool ack = head[4] & AckFlag;
        const quint32 stream = qFromBigEndian<quint32>(head + 5) & 0x7fffffff;
        const QByteArray payload = m_in.mid(FrameHeaderSize, length);
        m_in.remove(0, FrameHeaderSize + length);
        if ((type == Settings || type == Ping) && !ack && m_stream == 0) {
            m_socket->write(frame(type, AckFlag, 0, type == Ping ? payload : QByteArray()));
        } else if (type == Headers && m_stream == 0 && stream != 0) {
            m_stream = stream;
            TestHttpServer::Request request;
            request.version = "HTTP/2";
            request.connection = m_number;
            m_owner->record(request);
            Q_EMIT m_owner->requestReceived(request.target);
            const QByteArray status = frame(Headers, 0, m_stream, QByteArray(1, char(0x88))); // :status: 200
            m_socket->write(status);
            m_owner->addFloodBytes(status.size());
            pump();
        } else if (type == GoAway || (type == RstStream && stream == m_stream && stream != 0)) {
            m_stream = 0;
            return m_socket->disconnectFromHost();
        }
    }
}

void TestHttp2Flood::pump()
{
    static const QByteArray value(1000, 'f');
    while (m_stream != 0 && m_socket->state() == QAbstractSocket::ConnectedState
           && TestHttpServer::unsentBytes(m_socket) < WriteHighWater) {
        QByteArray fields;
        while (fields.size() < 8 * 1024) {
            fields.append('\0'); // a literal field without indexing, with a new name
            appendString(fields, "x-flood-" + QByteArray::number(++m_fields));
            appendString(fields, value);
        }
        const QByteArray out = frame(Continuation, 0, m_stream, fields);
        m_socket->write(out);
        m_owner->addFloodBytes(out.size());
    }
}
