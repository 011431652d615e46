#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <atomic>

/// One file to hash; with a destination it is copied there in the same pass.
struct HashJob
{
    QString source;
    QString destination; ///< empty: hash only
};

/// What hashing one file found.
struct HashResult
{
    bool ok = false;
    quint64 size = 0;   ///< bytes read (and written)
    QByteArray md5;     ///< MD5 text of those bytes
    QByteArray sha256;  ///< their SHA-256 in lower-case hex, when asked for
    QString error;      ///< why it failed
};

/// Hashes (and copies) files in fixed-size chunks on several threads, so memory
/// is a few chunks per thread whatever the file sizes are.
class ParallelHasher
{
public:
    /// threads <= 0: one per core.
    explicit ParallelHasher(int threads = 0);

    /// Shows "label: files, bytes" on stderr while running, redrawn in place; the
    /// caller decides whether stderr is a terminal.
    void setProgressLabel(const QString &label) { m_progressLabel = label; }

    /// false: keep going after a failed job (the default stops taking new jobs).
    void setStopOnFailure(bool stop) { m_stopOnFailure = stop; }

    /// true: also the SHA-256 of every file, from the same reads. Off by default: it
    /// costs as much as the MD5 where the processor lacks SHA instructions.
    void setComputeSha256(bool compute) { m_computeSha256 = compute; }

    /// Runs every job; results in job order.
    QVector<HashResult> run(const QVector<HashJob> &jobs, quint64 totalBytes);

private:
    int m_threads;
    bool m_stopOnFailure = true;
    bool m_computeSha256 = false;
    QString m_progressLabel;
};

/// True when the process's standard error is a terminal (progress lines only then).
bool stderrIsTerminal();

/// Hashes (and copies) one file the way ParallelHasher does, in chunks of 1 MiB;
/// bytesDone, when given, grows with every chunk (for a progress line).
HashResult hashFile(const HashJob &job, bool computeSha256, std::atomic<quint64> *bytesDone = nullptr);

/// Draws "label: done/files files, bytes of total" on stderr over the previous
/// line; last ends it with a line break.
void printProgressLine(const QString &label, int filesDone, int files, quint64 bytesDone, quint64 bytes, bool last);
