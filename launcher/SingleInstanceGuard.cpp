#include "SingleInstanceGuard.h"

SingleInstanceGuard::SingleInstanceGuard(const QString& key)
    : key(key), memLockKey(key + "_memLockKey"), sharedMemKey(key + "_sharedMemKey"), sharedMem(sharedMemKey),
      memLock(memLockKey, 1, QSystemSemaphore::Open)
{
    // The last detach of a segment removes it, so attaching to and detaching from a segment
    // whose owner was killed clears it.
    memLock.acquire();
    {
        QSharedMemory stale(sharedMemKey);
        stale.attach(QSharedMemory::ReadWrite);
    }
    memLock.release();
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    releaseLock();
}

bool SingleInstanceGuard::isAnotherInstanceRunning()
{
    if (sharedMem.isAttached())
        return false;
    memLock.acquire();
    const bool attached = sharedMem.attach(QSharedMemory::ReadWrite);
    if (attached)
        sharedMem.detach();
    memLock.release();
    return attached;
}

bool SingleInstanceGuard::tryAcquire()
{
    // Creating the segment again would fail and the clean-up below would give up the lock held.
    if (sharedMem.isAttached())
        return true;
    if (isAnotherInstanceRunning())
        return false;
    memLock.acquire();
    const bool created = sharedMem.create(8, QSharedMemory::ReadWrite);
    memLock.release();
    if (!created)
        releaseLock();
    return created;
}

void SingleInstanceGuard::releaseLock()
{
    memLock.acquire();
    if (sharedMem.isAttached())
        sharedMem.detach();
    memLock.release();
}
