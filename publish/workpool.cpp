#include "publish/workpool.h"

#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

namespace {

constexpr unsigned long TickIntervalMs = 200;

} // namespace

WorkPool::WorkPool(int threads)
    : m_threads(threads > 0 ? threads : qMax(1, QThread::idealThreadCount()))
{
}

void WorkPool::run(int count, const std::function<void(int)> &job, const std::function<void(bool last)> &tick)
{
    std::atomic<int> next{0};
    const auto work = [&] {
        for (int index = next++; index < count; index = next++)
            job(index);
    };
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < qMin(m_threads, count); ++i) {
        threads.emplace_back(QThread::create(work));
        threads.back()->start();
    }
    for (const auto &thread : threads) {
        while (!thread->wait(TickIntervalMs)) {
            if (tick)
                tick(false);
        }
    }
    if (tick)
        tick(true);
}
