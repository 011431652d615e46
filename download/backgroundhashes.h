#pragma once

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

/// The hashes of a body on a thread of their own: on the thread that receives and
/// writes every body, MD5 alone takes about a third of a large file's time, and
/// SHA-256 for a signed release another third; beside it they cost nothing on two
/// cores or more. At most 16 chunks wait for the thread; addData() waits when the
/// thread is that far behind, so memory stays bounded by the chunk size.
class BackgroundHashes
{
public:
    explicit BackgroundHashes(bool withSha256);
    ~BackgroundHashes();
    BackgroundHashes(const BackgroundHashes &) = delete;
    BackgroundHashes &operator=(const BackgroundHashes &) = delete;

    void addData(const char *data, qint64 size);
    /// Waits for every chunk added so far; the MD5 digest (16 bytes) and the SHA-256
    /// as 64 lower-case hex digits (empty when not asked for). Nothing may be added
    /// afterwards.
    void results(QByteArray &md5, QByteArray &sha256Hex);

private:
    void finish();
    void run();

    const bool m_withSha256;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_space;
    std::deque<QByteArray> m_queue;
    bool m_closing = false;
    QByteArray m_md5;       ///< written by the thread before it ends, read after join()
    QByteArray m_sha256Hex; ///< likewise
    std::thread m_thread;   ///< last: it starts once everything above exists
};
