#pragma once

#include <functional>

/// Runs numbered jobs on several threads, each thread taking the next job as soon
/// as it is free, so that one large file does not hold back the small ones.
class WorkPool
{
public:
    /// threads <= 0: one per core.
    explicit WorkPool(int threads = 0);

    /// Runs job(0) to job(count - 1), each exactly once; returns when all are done.
    /// While they run, tick(false) is called on the calling thread every 200 ms,
    /// then tick(true) once at the end (for a progress line).
    void run(int count, const std::function<void(int)> &job, const std::function<void(bool last)> &tick = {});

    int threadCount() const { return m_threads; }

private:
    int m_threads;
};
