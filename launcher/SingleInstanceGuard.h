#pragma once

#include <QSharedMemory>
#include <QString>
#include <QSystemSemaphore>

// Lets at most one launcher run at a time: the holder owns a small named shared-memory segment
// whose existence is the lock; a named system semaphore serialises every look at it, so two
// launchers starting together cannot both win. A segment left behind by a launcher that died
// without detaching is cleared on construction.
class SingleInstanceGuard
{
public:
    explicit SingleInstanceGuard(const QString& key);
    ~SingleInstanceGuard();

    bool isAnotherInstanceRunning();
    bool tryAcquire();
    void releaseLock();

private:
    QString key;
    QString memLockKey;
    QString sharedMemKey;
    QSharedMemory sharedMem;
    QSystemSemaphore memLock;
};
