#include "support/FakeGame.h"
#include "support/LauncherSandbox.h"

#include <QFile>
#include <QTest>

// Runs the real launcher (pointed at a loopback address where no update server listens, so it
// takes the road of a run that cannot update) with a stand-in that records its arguments.
class TestLauncherServer : public QObject
{
    Q_OBJECT
private slots:
    void serverReplacesTheLauncher_data();
    void serverReplacesTheLauncher();
};

void TestLauncherServer::serverReplacesTheLauncher_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("serverArguments");

    QTest::newRow("no arguments: only the program path") << QStringList{"--server"} << QStringList();
    QTest::newRow("arguments with spaces stay whole")
        << QStringList{"-s", "-port=7777", "two words", "--", "-log"} << QStringList{"two words", "-log"};
}

void TestLauncherServer::serverReplacesTheLauncher()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, serverArguments);

    LauncherSandbox sandbox;
    const QString record = sandbox.root() + "/server.record";
    sandbox.setEnv("FAKE_GAME_RECORD", record);
    sandbox.setEnv("FAKE_GAME_EXIT", "7");
    // The game is there too: the server must be chosen.
    FakeGame::install(sandbox.installDir());
    FakeGame::install(sandbox.installDir(), FakeGame::Kind::Server);

    const LauncherSandbox::Result run = sandbox.run(TEST_LAUNCHER_BINARY, arguments);
    QVERIFY(run.finished);
    // The exit code is the server's: it ran in the launcher's own process.
    QCOMPARE(run.exitCode, 7);
    const FakeGame::Record server = FakeGame::readRecord(record, 0);
    QVERIFY(server.found);
    QCOMPARE(server.pid, run.pid);
    QCOMPARE(server.arguments, serverArguments);
    QVERIFY2(!run.out.contains("All done!"), run.out.constData());

    const QStringList log = sandbox.logMessages();
    QVERIFY(log.contains("Server: true"));
    QVERIFY(!log.contains("Goodbye!"));
    QVERIFY(!log.contains("Pelwinter launched successfully."));
}

QTEST_GUILESS_MAIN(TestLauncherServer)
#include "TestLauncherServer.moc"
