#include "support/FakeGame.h"
#include "support/LauncherSandbox.h"

#include <QFile>
#include <QTest>

namespace
{
const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";
} // namespace

// Runs the real launcher (pointed at a loopback address where no update server listens, so it
// takes the road of a run that cannot update) with a stand-in game that records its arguments.
class TestLauncherLaunch : public QObject
{
    Q_OBJECT
private slots:
    void startsTheGameDetached_data();
    void startsTheGameDetached();
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
    QTest::newRow("window mode") << QStringList{"-gui", "x"} << "main" << QStringList{"Branch: \"main\""}
                                 << QStringList{"x"}
                                 << QStringList{"Running in UI mode.",
                                                "Upgrading application to enable UI capabilities."};
    QTest::newRow("install name and branch")
        << QStringList{"--branch=main:Install1", "+map"} << "main"
        << QStringList{"Profile: \"main\"", "Branch: \"Install1\""} << QStringList{"+map"} << headless;
    QTest::newRow("branch without colon names the install too")
        << QStringList{"-b", "beta"} << "beta" << QStringList{"Branch: \"beta\""} << QStringList() << headless;
    QTest::newRow("arguments pass unchanged, dropped options don't")
        << QStringList{"one", "-unknown", "two words", "--", "--gui", "-", "quote\"d"} << "main"
        << QStringList{"Branch: \"main\""} << QStringList{"one", "two words", "--gui", "-", "quote\"d"} << headless;
    QTest::newRow("help and version do nothing") << QStringList{"--help", "--version", "x"} << "main"
                                                 << QStringList{"Branch: \"main\""} << QStringList{"x"} << headless;
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
        QVERIFY2(!run.out.contains("All done!"), run.out.constData()); // the window shows no console lines
    QVERIFY2(!run.out.contains("Usage:"), run.out.constData());

    const FakeGame::Record game = FakeGame::readRecord(record);
    QVERIFY(game.found);
    QCOMPARE(game.arguments, gameArguments);
    QVERIFY(game.pid != run.pid);

    const QStringList log = sandbox.logMessages();
    QVERIFY2(LauncherSandbox::containsInOrder(log, QStringList{"Server: false"} + branchLines + modeLines),
             qPrintable(log.join('\n')));
    QVERIFY(LauncherSandbox::containsInOrder(log, {"Pelwinter launched successfully."}));
    QCOMPARE(log.last(), QString("Goodbye!"));
}

QTEST_GUILESS_MAIN(TestLauncherLaunch)
#include "TestLauncherLaunch.moc"
