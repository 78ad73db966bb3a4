#include "BuildConfig.h"
#include "support/FakeGame.h"
#include "support/LauncherSandbox.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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
    // data directory of its own, and the server holds back the branch manifest it asks for: it
    // holds the lock while it waits, as long as the test needs.
    TestUpdateServer server(TEST_CA_DIR);
    const QString manifest = server.putFile("manifest-main-linux.json", "{}");
    server.setFaults(manifest, {{.delayMSecs = 60000}});
    QVERIFY(server.start(TEST_SERVER_PORT));
    LauncherSandbox sandbox;
    QProcess first;
    QProcessEnvironment firstEnv = sandbox.environment();
    firstEnv.insert("XDG_DATA_HOME", sandbox.root() + "/first-data");
    first.setProcessEnvironment(firstEnv);
    first.start(TEST_LAUNCHER_BINARY, {});
    QVERIFY(first.waitForStarted());
    // Asking for the manifest, it is long past taking the lock.
    QTRY_VERIFY_WITH_TIMEOUT(!server.requestsFor(manifest).isEmpty(), 20000);
    QVERIFY(!QDir(sandbox.tempDir()).entryList({"qipc_sharedmemory_*"}, QDir::Files).isEmpty());

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
    // Five attempts with four pauses between them.
    const int pauses = 4 * BuildConfig::retryPolicy().instancePauseMSecs;
    QVERIFY2(elapsed.elapsed() >= pauses, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(second.out, QByteArray());
    QCOMPARE(second.err, QByteArray());
    QCOMPARE(sandbox.readLog().toUtf8(), runningLog);
    QVERIFY(!QFile::exists(record));

    // Killed without a chance to detach: its segment stays behind and the next launcher clears it,
    // and with no server answering it starts the installed game.
    QCOMPARE(::kill(pid_t(first.processId()), SIGKILL), 0);
    QVERIFY(first.waitForFinished(10000));
    server.stop();

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
