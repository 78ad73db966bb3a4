#include "SingleInstanceGuard.h"
#include "support/LauncherSandbox.h"

#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// A fresh key per test keeps the tests apart from each other and from any running launcher.
QString freshKey()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}
} // namespace

class TestSingleInstanceGuard : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void onlyOneGuardHoldsTheLock();
    void acquiringTwiceKeepsTheLock();
    void segmentOfAKilledHolderIsCleared();

private:
    // On a tmpfs where there is one, so that the keys never meet those of the launchers other test
    // programs run meanwhile.
    QTemporaryDir keyFiles{LauncherSandbox::keyFileTemplate()};
};

void TestSingleInstanceGuard::initTestCase()
{
    // The key files of the segment and the semaphore live in the temporary folder.
    QVERIFY(keyFiles.isValid());
    qputenv("TMPDIR", keyFiles.path().toUtf8());
}

void TestSingleInstanceGuard::onlyOneGuardHoldsTheLock()
{
    const QString key = freshKey();
    SingleInstanceGuard first(key);
    QVERIFY(!first.isAnotherInstanceRunning());
    QVERIFY(first.tryAcquire());
    QVERIFY(!first.isAnotherInstanceRunning());
    {
        SingleInstanceGuard second(key);
        // Probing attaches and detaches again; the holder's segment must survive every probe.
        for (int attempt = 0; attempt < 5; ++attempt) {
            QVERIFY(second.isAnotherInstanceRunning());
            QVERIFY(!second.tryAcquire());
        }
        first.releaseLock();
        QVERIFY(!second.isAnotherInstanceRunning());
        QVERIFY(second.tryAcquire());
        QVERIFY(first.isAnotherInstanceRunning());
    }
    // The destructor gave the lock up.
    QVERIFY(first.tryAcquire());
}

void TestSingleInstanceGuard::acquiringTwiceKeepsTheLock()
{
    const QString key = freshKey();
    SingleInstanceGuard holder(key);
    QVERIFY(holder.tryAcquire());
    QVERIFY(holder.tryAcquire());
    SingleInstanceGuard other(key);
    QVERIFY(!other.tryAcquire());
}

void TestSingleInstanceGuard::segmentOfAKilledHolderIsCleared()
{
    const QString key = freshKey();
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Ends without any destructor, as a killed launcher would: the segment stays behind.
        auto* guard = new SingleInstanceGuard(key);
        _exit(guard->tryAcquire() ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);

    // The constructor clears the stale segment, so the very first attempt succeeds.
    SingleInstanceGuard next(key);
    QVERIFY(!next.isAnotherInstanceRunning());
    QVERIFY(next.tryAcquire());
}

QTEST_GUILESS_MAIN(TestSingleInstanceGuard)
#include "TestSingleInstanceGuard.moc"
