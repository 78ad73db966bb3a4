#include "support/FakeGame.h"
#include "support/LauncherSandbox.h"

#include <QFile>
#include <QTest>

namespace
{
const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";
const QByteArray unreachableText =
    "Download failed for branch \"main\".\nCouldn't get a manifest file, and Pelwinter is not installed.";

bool containsInOrder(const QStringList& lines, const QStringList& wanted)
{
    for (int start = 0; start + wanted.size() <= lines.size(); ++start) {
        if (lines.mid(start, wanted.size()) == wanted)
            return true;
    }
    return false;
}
} // namespace

// Runs the real launcher (pointed at a loopback address where no update server listens, so it
// takes the road of a run that cannot update) with a stand-in game that records its arguments.
class TestLauncherLaunch : public QObject
{
    Q_OBJECT
private slots:
    void startsTheGameDetached_data();
    void startsTheGameDetached();
    void serverReplacesTheLauncher_data();
    void serverReplacesTheLauncher();
    void failedLaunchesReportLaunchFailed_data();
    void failedLaunchesReportLaunchFailed();
};

void TestLauncherLaunch::startsTheGameDetached_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("profile");
    QTest::addColumn<QStringList>("branchLines");
    QTest::addColumn<QStringList>("gameArguments");
    QTest::addColumn<QStringList>("modeLines");

    const QStringList headless{"Running in headless mode."};
    QTest::newRow("no arguments") << QStringList() << "main" << QStringList{"Branch: \"main\""} << QStringList()
                                  << headless;
    QTest::newRow("window mode")
        << QStringList{"-gui", "x"} << "main" << QStringList{"Branch: \"main\""} << QStringList{"x"}
        << QStringList{"Running in UI mode.", "Upgrading application to enable UI capabilities."};
    QTest::newRow("install name and branch")
        << QStringList{"--branch=main:Install1", "+map"} << "main"
        << QStringList{"Profile: \"main\"", "Branch: \"Install1\""} << QStringList{"+map"} << headless;
    QTest::newRow("branch without colon names the install too")
        << QStringList{"-b", "beta"} << "beta" << QStringList{"Branch: \"beta\""} << QStringList() << headless;
    QTest::newRow("arguments pass unchanged, dropped options don't")
        << QStringList{"one", "-unknown", "two words", "--", "--gui", "-", "quote\"d"} << "main"
        << QStringList{"Branch: \"main\""} << QStringList{"one", "two words", "--gui", "-", "quote\"d"} << headless;
    QTest::newRow("help and version do nothing")
        << QStringList{"--help", "--version", "x"} << "main" << QStringList{"Branch: \"main\""} << QStringList{"x"}
        << headless;
}

void TestLauncherLaunch::startsTheGameDetached()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, profile);
    QFETCH(QStringList, branchLines);
    QFETCH(QStringList, gameArguments);
    QFETCH(QStringList, modeLines);

    LauncherSandbox sandbox;
    const QString record = sandbox.root() + "/game.record";
    sandbox.setEnv("FAKE_GAME_RECORD", record);
    FakeGame::install(sandbox.installDir(profile));

    const LauncherSandbox::Result run = sandbox.run(TEST_LAUNCHER_BINARY, arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    if (modeLines.contains("Running in headless mode."))
        QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    else
        QVERIFY2(!run.out.contains("All done!"), run.out.constData());  // the window shows no console lines
    QVERIFY2(!run.out.contains("Usage:"), run.out.constData());

    const FakeGame::Record game = FakeGame::readRecord(record);
    QVERIFY(game.found);
    QCOMPARE(game.arguments, gameArguments);
    QVERIFY(game.pid != run.pid);

    const QStringList log = sandbox.logMessages();
    QVERIFY2(containsInOrder(log, QStringList{"Server: false"} + branchLines + modeLines),
             qPrintable(log.join('\n')));
    QVERIFY(containsInOrder(log, {"Pelwinter launched successfully."}));
    QCOMPARE(log.last(), QString("Goodbye!"));
}

void TestLauncherLaunch::serverReplacesTheLauncher_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("serverArguments");

    QTest::newRow("no arguments: only the program path") << QStringList{"--server"} << QStringList();
    QTest::newRow("arguments with spaces stay whole")
        << QStringList{"-s", "-port=7777", "two words", "--", "-log"}
        << QStringList{"two words", "-log"};
}

void TestLauncherLaunch::serverReplacesTheLauncher()
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

void TestLauncherLaunch::failedLaunchesReportLaunchFailed_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("failureLines");

    const QStringList missing{"Target executable does not exist.", "Failed to launch Pelwinter."};
    QTest::newRow("game missing") << QStringList() << "nothing" << missing;
    QTest::newRow("server missing while the game exists") << QStringList{"--server"} << "game" << missing;
    QTest::newRow("game path is a directory")
        << QStringList() << "game directory" << QStringList{"Failed to create process.", "Failed to launch Pelwinter."};
    QTest::newRow("game not executable")
        << QStringList() << "game not executable"
        << QStringList{"Failed to create process.", "Failed to launch Pelwinter."};
    QTest::newRow("server not executable")
        << QStringList{"--server"} << "server not executable"
        << QStringList{"Error: \"Permission denied\"", "Failed to create process.", "Failed to launch Pelwinter."};
}

void TestLauncherLaunch::failedLaunchesReportLaunchFailed()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, setup);
    QFETCH(QStringList, failureLines);

    LauncherSandbox sandbox;
    const QString install = sandbox.installDir();
    const bool server = arguments.contains("--server");
    const QString target = FakeGame::executablePath(install, server ? FakeGame::Kind::Server : FakeGame::Kind::Game);
    if (setup == "game") {
        FakeGame::install(install);
    } else if (setup == "game directory") {
        QVERIFY(QDir().mkpath(target));
    } else if (setup.endsWith("not executable")) {
        FakeGame::install(install, server ? FakeGame::Kind::Server : FakeGame::Kind::Game);
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    }

    const LauncherSandbox::Result run = sandbox.run(TEST_LAUNCHER_BINARY, arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QByteArray failure =
        "\x1b[1;37;41mLaunch Failed!\x1b[0m \x1b[1;31m" + unreachableText + "\x1b[0m\n";
    QVERIFY2(run.out.endsWith(failure), run.out.constData());

    const QStringList log = sandbox.logMessages();
    const QString attempt = "Attempting to run: \"" + target + "\" with arguments: QList()";
    QVERIFY2(containsInOrder(log, QStringList{"Trying to launch Pelwinter.", attempt} + failureLines),
             qPrintable(log.join('\n')));
    QCOMPARE(log.last(), QString("Goodbye!"));
}

QTEST_GUILESS_MAIN(TestLauncherLaunch)
#include "TestLauncherLaunch.moc"
