#include "net/chttpreply.h"

#include "net/chttpaccessmanager.h"
#include "net/statuserror.h"

#include <QMetaObject>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QUrl>

#include <limits>

namespace {

// The status line, headers and trailers of one answer together; a server that sends
// more is not answering a download.
constexpr int MaxHeaderBytes = 64 * 1024;
// A chunk-size line: its hex digits, leading zeros included, and room for extensions,
// which are ignored.
constexpr int MaxChunkLine = 1024;
// Header lines of one answer; servers send a few dozen. Bounds the work of joining
// repeated names, which grows with the square of their number.
constexpr int MaxHeaderLines = 256;

// Strips the line break; false when the line has none (it was cut off).
bool chompLine(QByteArray &line)
{
    if (!line.endsWith('\n'))
        return false;
    line.chop(line.endsWith("\r\n") ? 2 : 1);
    return true;
}

bool parseDecimal(const QByteArray &text, qint64 &value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// A chunk size: hex digits only (no sign, no "0x", which strtoll-like parsers take),
// with as many leading zeros as a server likes, and a value that fits a qint64.
bool parseHex(const QByteArray &text, qint64 &value)
{
    if (text.isEmpty())
        return false;
    value = 0;
    for (const char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        if (value > (std::numeric_limits<qint64>::max() - digit) / 16)
            return false;
        value = value * 16 + digit;
    }
    return true;
}

} // namespace

CHttpReply::CHttpReply(const QNetworkRequest &request, CHttpAccessManager *pool)
    : QNetworkReply(pool)
    , m_pool(pool)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    // Unbuffered: the body is read from the socket's buffer, not copied once more.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    const QUrl url = request.url();
    const int port = url.port(80);
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (port != 80)
        host += ':' + QByteArray::number(port);
    m_poolKey = QString::fromLatin1(host);

    // The request target as Qt's own sends it: "." segments and doubled separators
    // taken out, which servers that map paths to files expect.
    QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority
                                      | QUrl::RemoveFragment | QUrl::NormalizePathSegments);
    if (url.path().isEmpty())
        target = "/" + target;
    m_requestBytes = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    bool connectionGiven = false;
    bool agentGiven = false;
    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names) {
        if (name.compare("Host", Qt::CaseInsensitive) == 0)
            continue;
        connectionGiven = connectionGiven || name.compare("Connection", Qt::CaseInsensitive) == 0;
        agentGiven = agentGiven || name.compare("User-Agent", Qt::CaseInsensitive) == 0;
        m_requestBytes += name + ": " + request.rawHeader(name) + "\r\n";
    }
    if (!connectionGiven)
        m_requestBytes += "Connection: keep-alive\r\n";
    // What Qt's own client sends: servers and firewalls that filter on it see no change.
    if (!agentGiven)
        m_requestBytes += "User-Agent: Mozilla/5.0\r\n";
    m_requestBytes += "\r\n";

    // Not from here: a connection can fail at once (no route, say), and finished()
    // would then go out before the caller of get() has connected to it.
    QMetaObject::invokeMethod(this, [this] {
        if (!m_finished)
            connectSocket(true);
    }, Qt::QueuedConnection);
}

CHttpReply::~CHttpReply()
{
    releaseSocket(false);
}

void CHttpReply::connectSocket(bool allowReuse)
{
    m_socket = allowReuse && m_pool ? m_pool->takeIdleConnection(m_poolKey) : nullptr;
    m_reusedSocket = m_socket != nullptr;
    if (!m_socket)
        m_socket = new QTcpSocket(this);
    else
        m_socket->setParent(this);
    setReadBufferSize(readBufferSize());
    connect(m_socket, &QTcpSocket::readyRead, this, &CHttpReply::onSocketReadyRead);
    // A close shows as RemoteHostClosedError, after the last bytes were offered.
    connect(m_socket, &QTcpSocket::errorOccurred, this, &CHttpReply::onSocketError);
    m_phase = Phase::StatusLine;
    if (m_reusedSocket) {
        sendRequest();
        return;
    }
    connect(m_socket, &QTcpSocket::connected, this, &CHttpReply::sendRequest);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QUrl target = url();
    m_socket->connectToHost(target.host(), static_cast<quint16>(target.port(80)));
}

void CHttpReply::sendRequest()
{
    if (m_socket->write(m_requestBytes) != m_requestBytes.size())
        finishWithError(UnknownNetworkError, m_socket->errorString());
}

void CHttpReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    // The socket must always have room for a whole header section.
    if (m_socket)
        m_socket->setReadBufferSize(size > 0 ? qMax<qint64>(size, MaxHeaderBytes) : 0);
}

qint64 CHttpReply::bodyBytesReady() const
{
    if (!m_socket || (m_phase != Phase::Body && m_phase != Phase::ChunkData))
        return 0;
    const qint64 buffered = m_socket->bytesAvailable();
    return m_closeDelimited ? buffered : qMin(buffered, m_remaining);
}

qint64 CHttpReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + bodyBytesReady();
}

qint64 CHttpReply::readData(char *data, qint64 maxSize)
{
    m_reading = true;
    qint64 total = 0;
    while (total < maxSize && !m_finished) {
        const qint64 ready = qMin(bodyBytesReady(), maxSize - total);
        if (ready <= 0)
            break;
        const qint64 got = m_socket->read(data + total, ready);
        if (got <= 0)
            break;
        total += got;
        m_bodyRead += got;
        if (m_closeDelimited)
            continue;
        m_remaining -= got;
        if (m_remaining > 0)
            continue;
        if (m_phase == Phase::Body) {
            m_phase = Phase::Done;
            break;
        }
        m_phase = Phase::ChunkEnd;
        // The next chunk's data may already be waiting behind its size line.
        if (!advance())
            break;
    }
    m_reading = false;
    if (m_phase == Phase::Done && !m_finishQueued) {
        m_finishQueued = true;
        QMetaObject::invokeMethod(this, &CHttpReply::finishIfDone, Qt::QueuedConnection);
    }
    if (total == 0 && m_finished)
        return -1;
    return total;
}

bool CHttpReply::advance()
{
    while (m_socket && !m_finished) {
        switch (m_phase) {
        case Phase::StatusLine:
        case Phase::Headers:
        case Phase::ChunkSize:
        case Phase::ChunkEnd:
        case Phase::Trailers: {
            const int limit = (m_phase == Phase::ChunkSize || m_phase == Phase::ChunkEnd)
                                  ? MaxChunkLine
                                  : MaxHeaderBytes - m_headerBytes;
            if (limit <= 0 || !m_socket->canReadLine()) {
                if (limit <= 0 || m_socket->bytesAvailable() > limit) {
                    finishWithError(ProtocolFailure, tr("HTTP header section too large"));
                    return false;
                }
                return true;
            }
            QByteArray line = m_socket->readLine(qint64(limit) + 1);
            if (!chompLine(line)) {
                finishWithError(ProtocolFailure, tr("HTTP header section too large"));
                return false;
            }
            bool ok = false;
            if (m_phase == Phase::StatusLine) {
                m_headerBytes += line.size() + 2;
                ok = takeStatusLine(line);
            } else if (m_phase == Phase::Headers || m_phase == Phase::Trailers) {
                m_headerBytes += line.size() + 2;
                ok = takeHeaderLine(line);
            } else if (m_phase == Phase::ChunkSize) {
                ok = takeChunkSize(line);
            } else {
                ok = line.isEmpty();
                m_phase = Phase::ChunkSize;
            }
            if (!ok) {
                if (!m_finished)
                    finishWithError(ProtocolFailure, tr("Malformed HTTP answer"));
                return false;
            }
            break;
        }
        case Phase::Connecting:
        case Phase::Body:
        case Phase::ChunkData:
        case Phase::Done:
            return true;
        }
    }
    return !m_finished;
}

bool CHttpReply::takeStatusLine(const QByteArray &line)
{
    // "HTTP/1.1 200 OK"; the reason may be empty or missing.
    if (!line.startsWith("HTTP/1.") || line.size() < 12 || line.at(8) != ' ')
        return false;
    qint64 status = 0;
    if (!parseDecimal(line.mid(9, 3), status) || status < 100
        || (line.size() > 12 && line.at(12) != ' '))
        return false;
    // Made known with the headers, as Qt does: a reply that ends before its header
    // block is complete has no status, which callers read as "no answer".
    m_status = int(status);
    m_reason = line.mid(13);
    // HTTP/1.0 connections are not kept: keep-alive there is an extension.
    m_keepAlive = line.at(7) == '1';
    m_headers.clear();
    m_phase = Phase::Headers;
    return true;
}

bool CHttpReply::takeHeaderLine(const QByteArray &line)
{
    if (line.isEmpty()) {
        if (m_phase == Phase::Trailers) {
            m_phase = Phase::Done;
            return true;
        }
        return takeHeaders();
    }
    if (m_phase == Phase::Trailers)
        return true;
    if (m_headers.size() >= MaxHeaderLines)
        return false;
    // Folded continuation lines are obsolete and a way to smuggle; refused.
    const int colon = line.indexOf(':');
    if (colon <= 0 || line.at(0) == ' ' || line.at(0) == '\t')
        return false;
    const QByteArray name = line.left(colon);
    if (name.contains(' ') || name.contains('\t'))
        return false;
    m_headers.append({name, line.mid(colon + 1).trimmed()});
    return true;
}

bool CHttpReply::takeHeaders()
{
    const int status = m_status;
    if (status < 200) {
        // An interim answer ("100 Continue"): the real one follows.
        m_phase = Phase::StatusLine;
        return true;
    }
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, m_reason);
    QByteArray transferEncoding;
    QByteArray contentLength;
    for (const auto &header : qAsConst(m_headers)) {
        const QByteArray name = header.first.toLower();
        const QByteArray value = header.second;
        if (name == "content-length") {
            // Repeats are allowed only when they agree.
            if (!contentLength.isNull() && contentLength != value)
                return false;
            contentLength = value;
        } else if (name == "transfer-encoding") {
            transferEncoding += (transferEncoding.isEmpty() ? "" : ",") + value;
        } else if (name == "connection" && value.toLower().contains("close")) {
            m_keepAlive = false;
        }
        // Repeated headers are joined as Qt joins them.
        const QByteArray earlier = rawHeader(header.first);
        setRawHeader(header.first, earlier.isNull() ? value : earlier + ", " + value);
    }

    m_closeDelimited = false;
    if (status == 204 || status == 304) {
        m_phase = Phase::Done;
    } else if (!transferEncoding.isNull()) {
        // Any coding but chunked would hand over bytes that are not the body.
        if (transferEncoding.trimmed().toLower() != "chunked")
            return false;
        m_phase = Phase::ChunkSize;
    } else if (!contentLength.isNull()) {
        if (!parseDecimal(contentLength, m_remaining))
            return false;
        m_bodyTotal = m_remaining;
        m_phase = m_remaining > 0 ? Phase::Body : Phase::Done;
    } else {
        m_closeDelimited = true;
        m_keepAlive = false;
        m_phase = Phase::Body;
    }
    // Emitted by offerBody(), where a receiver that deletes the reply is noticed.
    m_metaDataPending = true;
    return true;
}

bool CHttpReply::takeChunkSize(const QByteArray &line)
{
    QByteArray digits = line;
    const int extension = digits.indexOf(';');
    if (extension >= 0)
        digits.truncate(extension);
    if (!parseHex(digits.trimmed(), m_remaining))
        return false;
    m_phase = m_remaining > 0 ? Phase::ChunkData : Phase::Trailers;
    return true;
}

void CHttpReply::onSocketReadyRead()
{
    if (m_finished)
        return;
    m_anyAnswerBytes = true;
    if (offerBody() && m_phase == Phase::Done)
        finishIfDone();
}

bool CHttpReply::offerBody()
{
    QPointer<CHttpReply> alive(this);
    // Offered again as long as the caller takes something: what it read may have
    // uncovered the next chunk, already in the buffer, for which no signal comes.
    while (advance()) {
        if (m_metaDataPending) {
            m_metaDataPending = false;
            emit metaDataChanged();
            if (!alive || m_finished)
                return false;
        }
        const qint64 ready = bodyBytesReady();
        if (ready <= 0)
            return true;
        const qint64 before = m_bodyRead;
        emit readyRead();
        if (!alive || m_finished)
            return false;
        // After readyRead, as Qt's own does: a receiver of the progress finds what it
        // counts already taken by whoever reads the body.
        emit downloadProgress(m_bodyRead + bodyBytesReady(), m_bodyTotal);
        if (!alive || m_finished)
            return false;
        if (m_bodyRead == before)
            return true;
    }
    return false;
}

void CHttpReply::onSocketError()
{
    if (m_finished || !m_socket)
        return;
    const QAbstractSocket::SocketError error = m_socket->error();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // Whatever arrived before the close is still offered.
        if (!offerBody())
            return;
        if (m_phase == Phase::Body && m_closeDelimited && bodyBytesReady() == 0)
            m_phase = Phase::Done;
        if (m_phase == Phase::Done) {
            // The whole answer arrived; the connection goes away with it.
            m_keepAlive = false;
            finishIfDone();
            return;
        }
    }
    // A kept connection that the server had closed in the meantime: the request is
    // sent once more on a new one, as browsers and Qt do.
    if (m_reusedSocket && !m_anyAnswerBytes && !m_retried && m_phase == Phase::StatusLine) {
        m_retried = true;
        releaseSocket(false);
        connectSocket(false);
        return;
    }
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        finishWithError(ConnectionRefusedError, m_socket->errorString());
        break;
    case QAbstractSocket::HostNotFoundError:
        finishWithError(HostNotFoundError, m_socket->errorString());
        break;
    case QAbstractSocket::RemoteHostClosedError:
        finishWithError(RemoteHostClosedError, tr("Connection closed"));
        break;
    case QAbstractSocket::SocketTimeoutError:
        finishWithError(TimeoutError, m_socket->errorString());
        break;
    default:
        finishWithError(UnknownNetworkError, m_socket->errorString());
        break;
    }
}

void CHttpReply::finishIfDone()
{
    m_finishQueued = false;
    if (m_finished || m_phase != Phase::Done)
        return;
    const int status = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const NetworkError code = networkErrorForStatus(status);
    releaseSocket(m_keepAlive);
    if (code != NoError) {
        finishWithError(code, statusErrorText(this));
        return;
    }
    finish();
}

void CHttpReply::finishWithError(NetworkError code, const QString &message)
{
    if (m_finished)
        return;
    releaseSocket(false);
    setError(code, message);
    m_finished = true;
    setFinished(true);
    const auto notify = [this, code] {
        QPointer<CHttpReply> alive(this);
        emit errorOccurred(code);
        if (alive)
            emit finished();
    };
    // Never from inside the caller's read: finished() would reach it mid-loop.
    if (m_reading)
        QMetaObject::invokeMethod(this, notify, Qt::QueuedConnection);
    else
        notify();
}

void CHttpReply::finish()
{
    // Like Qt's own: a body of unknown length reports its final size as the total.
    if (m_bodyTotal < 0) {
        QPointer<CHttpReply> alive(this);
        emit downloadProgress(m_bodyRead, m_bodyRead);
        if (!alive || m_finished)
            return;
    }
    m_finished = true;
    setFinished(true);
    emit finished();
}

void CHttpReply::abort()
{
    if (m_finished)
        return;
    finishWithError(OperationCanceledError, tr("Operation canceled"));
    close();
}

void CHttpReply::releaseSocket(bool keep)
{
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    if (keep && m_pool && socket->bytesAvailable() == 0) {
        m_pool->keepIdleConnection(m_poolKey, socket);
        return;
    }
    socket->abort();
    // Perhaps inside one of its own signals.
    socket->setParent(nullptr);
    socket->deleteLater();
}
