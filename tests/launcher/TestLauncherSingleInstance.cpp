#include "support/FakeGame.h"
#include "support/LauncherSandbox.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <csignal>

class TestLauncherSingleInstance : public QObject
{
    Q_OBJECT
private slots:
    void secondLauncherGivesUpAndNextStartsAfterKill();
};

void TestLauncherSingleInstance::secondLauncherGivesUpAndNextStartsAfterKill()
{
    // One sandbox, so all launchers share the lock under its TMPDIR. The first launcher gets a
    // data directory of its own whose log folder can't be made: it holds the lock while it
    // retries, and is stopped there so that it keeps holding it as long as the test needs.
    LauncherSandbox sandbox;
    const QString blockedData = sandbox.root() + "/blocked-data";
    QVERIFY(QDir().mkpath(blockedData));
    {
        QFile blocker(blockedData + "/pelwinter-launcher");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    QProcess first;
    QProcessEnvironment firstEnv = sandbox.environment();
    firstEnv.insert("XDG_DATA_HOME", blockedData);
    first.setProcessEnvironment(firstEnv);
    first.start(TEST_LAUNCHER_BINARY, {});
    QVERIFY(first.waitForStarted());
    // The segment's key file appears when the lock is taken; the log folder retries that follow
    // take 3.2 s, plenty of time to stop it there.
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(sandbox.tempDir()).entryList({"qipc_sharedmemory_*"}, QDir::Files).isEmpty(), 10000);
    // Past the few instructions in which it still holds the semaphore around the segment.
    QTest::qWait(200);
    QCOMPARE(::kill(pid_t(first.processId()), SIGSTOP), 0);

    const QByteArray runningLog = "the running launcher's log\n";
    QDir().mkpath(QFileInfo(sandbox.logPath()).absolutePath());
    {
        QFile log(sandbox.logPath());
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write(runningLog);
    }
    const QString record = sandbox.root() + "/game.record";
    sandbox.setEnv("FAKE_GAME_RECORD", record);
    FakeGame::install(sandbox.installDir());

    QElapsedTimer elapsed;
    elapsed.start();
    const LauncherSandbox::Result second = sandbox.run(TEST_LAUNCHER_BINARY, {});
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, 1);
    // Five attempts with four pauses of 500 ms between them.
    QVERIFY2(elapsed.elapsed() >= 1950, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(second.out, QByteArray());
    QCOMPARE(second.err, QByteArray());
    QCOMPARE(sandbox.readLog().toUtf8(), runningLog);
    QVERIFY(!QFile::exists(record));

    // Killed without a chance to detach: its segment stays behind and the next launcher clears it.
    QCOMPARE(::kill(pid_t(first.processId()), SIGKILL), 0);
    QVERIFY(first.waitForFinished(10000));

    elapsed.restart();
    const LauncherSandbox::Result next = sandbox.run(TEST_LAUNCHER_BINARY, {});
    QVERIFY(next.finished);
    QCOMPARE(next.exitCode, 0);
    QVERIFY(next.out.contains("All done!"));
    QVERIFY(sandbox.readLog().startsWith("Hello!\n"));
    QVERIFY(FakeGame::readRecord(record).found);
}

QTEST_GUILESS_MAIN(TestLauncherSingleInstance)
#include "TestLauncherSingleInstance.moc"
