#pragma once

#include <QSharedMemory>
#include <QString>

/// The single-instance guard: a 1-byte named shared-memory segment keyed by the
/// executable's folder followed by "update_singleton", held while the object lives.
class InstanceGuard
{
public:
    explicit InstanceGuard(const QString &exeDir);

    /// Takes the guard. False only when another updater of the same folder holds it;
    /// other failures to create the segment let the run go on.
    bool acquire();

    /// The segment's key for an executable folder (no separator before the suffix).
    static QString keyFor(const QString &exeDir);

private:
    QSharedMemory m_memory;
};
