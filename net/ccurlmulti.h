#pragma once

#include <curl/curl.h>

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class CCurlReply;
class QSocketNotifier;

/// One libcurl multi handle driven by the event loop of the thread it lives in: curl
/// names the sockets it waits on and the time it next needs to run, and socket
/// notifiers and a timer call it back. Transfers added to one multi share its
/// connections, so requests to one server go over one HTTP/2 connection.
///
/// Replies hear of their transfers only between curl's calls, never from inside one:
/// a receiver of a reply's signal may delete the reply, which takes its transfer out
/// of the multi, and curl does not allow that from its own callbacks.
class CCurlMulti : public QObject
{
    Q_OBJECT
public:
    explicit CCurlMulti(QObject *parent = nullptr);
    ~CCurlMulti() override;

    /// Starts the transfer of easy for reply; false when curl refuses it.
    bool add(CCurlReply *reply, CURL *easy);
    /// Ends a transfer that has not finished, or forgets one that has.
    void remove(CURL *easy);
    /// Lifts a paused transfer's pause and lets it run.
    void resume(CURL *easy);
    /// Called from a transfer's callbacks: reply has something to tell once curl returns.
    void touch(CCurlReply *reply);

private:
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *);
    static int onTimer(CURLM *, long milliseconds, void *self);
    void watch(curl_socket_t socket, int what);
    /// Lets curl act on socket (or on its time-outs), then tells the replies.
    void drive(curl_socket_t socket, int events);
    void publish();

    CURLM *m_multi = nullptr;
    QTimer m_timer;
    QHash<curl_socket_t, Watch> m_watches;
    QHash<CURL *, CCurlReply *> m_transfers;
    QList<QPointer<CCurlReply>> m_touched;
    bool m_publishing = false;
};
