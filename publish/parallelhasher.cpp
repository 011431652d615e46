#include "publish/parallelhasher.h"

#include "update/md5.h"
#include "update/sha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr qint64 ChunkSize = 1024 * 1024;
constexpr unsigned long ProgressIntervalMs = 200;

struct SharedState
{
    const QVector<HashJob> *jobs = nullptr;
    std::vector<HashResult> *results = nullptr;
    std::atomic<int> next{0};
    std::atomic<int> finished{0};
    std::atomic<quint64> bytes{0};
    std::atomic<bool> failed{false};
    bool stopOnFailure = true;
    bool computeSha256 = false;
};

} // namespace

HashResult hashFile(const HashJob &job, bool computeSha256, std::atomic<quint64> *bytesDone)
{
    HashResult result;
    QFile source(job.source);
    if (!source.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("cannot read \"%1\": %2").arg(job.source, source.errorString());
        return result;
    }
    QFile destination(job.destination);
    const bool copy = !job.destination.isEmpty();
    if (copy && !destination.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        result.error = QStringLiteral("cannot create \"%1\": %2").arg(job.destination, destination.errorString());
        return result;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    std::unique_ptr<Sha256> sha256;
    if (computeSha256)
        sha256 = std::make_unique<Sha256>();
    QByteArray buffer(ChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = source.read(buffer.data(), buffer.size());
        if (got < 0) {
            result.error = QStringLiteral("cannot read \"%1\": %2").arg(job.source, source.errorString());
            return result;
        }
        if (got == 0)
            break;
        hash.addData(buffer.constData(), static_cast<int>(got));
        if (sha256)
            sha256->addData(buffer.constData(), got);
        if (copy && destination.write(buffer.constData(), got) != got) {
            result.error = QStringLiteral("cannot write \"%1\": %2").arg(job.destination, destination.errorString());
            return result;
        }
        result.size += static_cast<quint64>(got);
        if (bytesDone)
            *bytesDone += static_cast<quint64>(got);
    }
    if (copy && (!destination.flush() || destination.error() != QFileDevice::NoError)) {
        result.error = QStringLiteral("cannot write \"%1\": %2").arg(job.destination, destination.errorString());
        return result;
    }
    result.md5 = md5TextFromDigest(hash.result());
    if (sha256)
        result.sha256 = sha256->hexResult();
    result.ok = true;
    return result;
}

namespace {

void work(SharedState &state)
{
    for (;;) {
        if (state.stopOnFailure && state.failed)
            return;
        const int index = state.next++;
        if (index >= state.jobs->size())
            return;
        // Each thread writes only the slots of the jobs it took.
        HashResult result = hashFile(state.jobs->at(index), state.computeSha256, &state.bytes);
        if (!result.ok)
            state.failed = true;
        (*state.results)[static_cast<size_t>(index)] = result;
        ++state.finished;
    }
}

QString humanBytes(quint64 bytes)
{
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
    return mib >= 1024.0 ? QStringLiteral("%1 GiB").arg(mib / 1024.0, 0, 'f', 2)
                         : QStringLiteral("%1 MiB").arg(mib, 0, 'f', 1);
}

} // namespace

void printProgressLine(const QString &label, int filesDone, int files, quint64 bytesDone, quint64 bytes, bool last)
{
    const QString line = QStringLiteral("\r%1: %2/%3 files, %4 of %5")
                             .arg(label)
                             .arg(filesDone)
                             .arg(files)
                             .arg(humanBytes(bytesDone), humanBytes(bytes));
    std::fputs(line.toLocal8Bit().constData(), stderr);
    if (last)
        std::fputs("\n", stderr);
    std::fflush(stderr);
}

ParallelHasher::ParallelHasher(int threads)
    : m_threads(threads > 0 ? threads : qMax(1, QThread::idealThreadCount()))
{
}

QVector<HashResult> ParallelHasher::run(const QVector<HashJob> &jobs, quint64 totalBytes)
{
    std::vector<HashResult> results(static_cast<size_t>(jobs.size()));
    SharedState state;
    state.jobs = &jobs;
    state.results = &results;
    state.stopOnFailure = m_stopOnFailure;
    state.computeSha256 = m_computeSha256;

    const int count = qMin(m_threads, qMax(1, jobs.size()));
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back(QThread::create([&state] { work(state); }));
        threads.back()->start();
    }
    for (const auto &thread : threads) {
        while (!thread->wait(ProgressIntervalMs)) {
            if (!m_progressLabel.isEmpty())
                printProgressLine(m_progressLabel, state.finished, jobs.size(), state.bytes, totalBytes, false);
        }
    }
    if (!m_progressLabel.isEmpty())
        printProgressLine(m_progressLabel, state.finished, jobs.size(), state.bytes, totalBytes, true);
    return QVector<HashResult>(results.begin(), results.end());
}

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}
