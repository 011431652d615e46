#include "net/ccurlmulti.h"

#include "net/ccurlreply.h"

#include <QSocketNotifier>

#include <mutex>

namespace {

void initialiseCurl()
{
    // Once per process, before any handle; curl's own guard is not thread-safe on
    // every platform it builds for.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

CCurlMulti::CCurlMulti(QObject *parent)
    : QObject(parent)
{
    initialiseCurl();
    m_multi = curl_multi_init();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
    if (!m_multi)
        return;
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CCurlMulti::onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CCurlMulti::onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    // Requests to one server share a connection where it speaks HTTP/2.
    curl_multi_setopt(m_multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
}

CCurlMulti::~CCurlMulti()
{
    // Transfers still running belong to replies that outlive this object (children
    // of the same manager, deleted after it): they are taken out here and the
    // replies clean up their own handles.
    for (auto it = m_transfers.cbegin(); it != m_transfers.cend(); ++it)
        curl_multi_remove_handle(m_multi, it.key());
    m_transfers.clear();
    for (const Watch &watch : qAsConst(m_watches)) {
        delete watch.read;
        delete watch.write;
    }
    if (m_multi)
        curl_multi_cleanup(m_multi);
}

bool CCurlMulti::add(CCurlReply *reply, CURL *easy)
{
    if (!m_multi || curl_multi_add_handle(m_multi, easy) != CURLM_OK)
        return false;
    m_transfers.insert(easy, reply);
    return true;
}

void CCurlMulti::remove(CURL *easy)
{
    if (m_transfers.remove(easy) > 0)
        curl_multi_remove_handle(m_multi, easy);
}

void CCurlMulti::resume(CURL *easy)
{
    if (!m_transfers.contains(easy))
        return;
    // May hand over what curl held back at once, through the reply's callbacks.
    curl_easy_pause(easy, CURLPAUSE_CONT);
    drive(CURL_SOCKET_TIMEOUT, 0);
}

void CCurlMulti::touch(CCurlReply *reply)
{
    for (const QPointer<CCurlReply> &known : qAsConst(m_touched)) {
        if (known == reply)
            return;
    }
    m_touched.append(reply);
}

int CCurlMulti::onSocket(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    static_cast<CCurlMulti *>(self)->watch(socket, what);
    return 0;
}

int CCurlMulti::onTimer(CURLM *, long milliseconds, void *self)
{
    auto *multi = static_cast<CCurlMulti *>(self);
    if (milliseconds < 0)
        multi->m_timer.stop();
    else
        // 0 means "now", but never from inside curl: the event loop calls it back.
        multi->m_timer.start(int(qMin<long>(milliseconds, 24L * 3600 * 1000)));
    return 0;
}

void CCurlMulti::watch(curl_socket_t socket, int what)
{
    Watch &watch = m_watches[socket];
    const auto notifier = [this, socket](QSocketNotifier *&slot, QSocketNotifier::Type type, bool wanted) {
        if (wanted && !slot) {
            slot = new QSocketNotifier(qintptr(socket), type, this);
            const int events = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
            connect(slot, &QSocketNotifier::activated, this, [this, socket, events] { drive(socket, events); });
        } else if (!wanted && slot) {
            // Perhaps the notifier whose signal is being delivered: disabled now,
            // so that a new socket with the same number gets its own, and deleted
            // once the signal is over.
            slot->setEnabled(false);
            slot->deleteLater();
            slot = nullptr;
        }
    };
    const bool remove = what == CURL_POLL_REMOVE;
    notifier(watch.read, QSocketNotifier::Read, !remove && (what & CURL_POLL_IN));
    notifier(watch.write, QSocketNotifier::Write, !remove && (what & CURL_POLL_OUT));
    if (remove)
        m_watches.remove(socket);
}

void CCurlMulti::drive(curl_socket_t socket, int events)
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL *easy = message->easy_handle;
        const CURLcode result = message->data.result;
        CCurlReply *reply = m_transfers.take(easy);
        curl_multi_remove_handle(m_multi, easy);
        if (reply) {
            reply->transferDone(result);
            touch(reply);
        }
    }
    publish();
}

void CCurlMulti::publish()
{
    // A receiver may run an event loop that comes back here; the outer call tells
    // everyone, in order.
    if (m_publishing)
        return;
    m_publishing = true;
    while (!m_touched.isEmpty()) {
        const QPointer<CCurlReply> reply = m_touched.takeFirst();
        if (reply)
            reply->publish();
    }
    m_publishing = false;
}
