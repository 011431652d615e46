#include "download/backgroundhashes.h"

#include "update/sha256.h"

#include <QCryptographicHash>

namespace {

// Chunks waiting for the thread at most.
constexpr size_t MaxQueuedChunks = 16;

} // namespace

BackgroundHashes::BackgroundHashes(bool withSha256)
    : m_withSha256(withSha256)
    , m_thread([this] { run(); })
{
}

BackgroundHashes::~BackgroundHashes()
{
    finish();
}

void BackgroundHashes::addData(const char *data, qint64 size)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_space.wait(lock, [this] { return m_queue.size() < MaxQueuedChunks; });
    m_queue.emplace_back(data, static_cast<int>(size));
    m_ready.notify_one();
}

void BackgroundHashes::results(QByteArray &md5, QByteArray &sha256Hex)
{
    finish();
    md5 = m_md5;
    sha256Hex = m_sha256Hex;
}

void BackgroundHashes::finish()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_ready.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void BackgroundHashes::run()
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    Sha256 sha256;
    for (;;) {
        QByteArray chunk;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_ready.wait(lock, [this] { return !m_queue.empty() || m_closing; });
            if (m_queue.empty())
                break;
            chunk = std::move(m_queue.front());
            m_queue.pop_front();
            m_space.notify_one();
        }
        md5.addData(chunk);
        if (m_withSha256)
            sha256.addData(chunk.constData(), chunk.size());
    }
    m_md5 = md5.result();
    if (m_withSha256)
        m_sha256Hex = sha256.hexResult();
}
