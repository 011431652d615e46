#include "app/instanceguard.h"

InstanceGuard::InstanceGuard(const QString &exeDir)
    : m_memory(keyFor(exeDir))
{
}

bool InstanceGuard::acquire()
{
    // On Unix the segment is a System V one that outlives a holder killed without
    // clean-up, so "attaching succeeds" would lock out every later run for good.
    // Detaching removes a segment that nobody else is attached to, while a live
    // updater's segment survives because that updater is still attached. Whether
    // the segment still exists is then decided by create() alone, atomically, so two
    // updaters started at the same moment cannot both get through.
    if (m_memory.attach(QSharedMemory::ReadWrite))
        m_memory.detach();
    if (m_memory.create(1, QSharedMemory::ReadWrite))
        return true;
    return m_memory.error() != QSharedMemory::AlreadyExists;
}

QString InstanceGuard::keyFor(const QString &exeDir)
{
    return exeDir + QStringLiteral("update_singleton");
}
