#include "support/FakeGame.h"
#include "support/LauncherSandbox.h"

#include <QFile>
#include <QTest>

namespace
{
const QByteArray unreachableText =
    "Download failed for branch \"main\".\nCouldn't get a manifest file, and Pelwinter is not installed.";
} // namespace

// Runs the real launcher (pointed at a loopback address where no update server listens, so it
// takes the road of a run that cannot update) with a stand-in that records its arguments.
class TestLauncherFailedLaunch : public QObject
{
    Q_OBJECT
private slots:
    void failedLaunchesReportLaunchFailed_data();
    void failedLaunchesReportLaunchFailed();
};

void TestLauncherFailedLaunch::failedLaunchesReportLaunchFailed_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("failureLines");

    const QStringList missing{"Target executable does not exist.", "Failed to launch Pelwinter."};
    QTest::newRow("game missing") << QStringList() << "nothing" << missing;
    QTest::newRow("server missing while the game exists") << QStringList{"--server"} << "game" << missing;
    QTest::newRow("game path is a directory")
        << QStringList() << "game directory" << QStringList{"Failed to create process.", "Failed to launch Pelwinter."};
    QTest::newRow("game not executable") << QStringList() << "game not executable"
                                         << QStringList{"Failed to create process.", "Failed to launch Pelwinter."};
    QTest::newRow("server not executable")
        << QStringList{"--server"} << "server not executable"
        << QStringList{"Error: \"Permission denied\"", "Failed to create process.", "Failed to launch Pelwinter."};
}

void TestLauncherFailedLaunch::failedLaunchesReportLaunchFailed()
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
    const QByteArray failure = "\x1b[1;37;41mLaunch Failed!\x1b[0m \x1b[1;31m" + unreachableText + "\x1b[0m\n";
    QVERIFY2(run.out.endsWith(failure), run.out.constData());

    const QStringList log = sandbox.logMessages();
    const QString attempt = "Attempting to run: \"" + target + "\" with arguments: QList()";
    QVERIFY2(LauncherSandbox::containsInOrder(log, QStringList{"Trying to launch Pelwinter.", attempt} + failureLines),
             qPrintable(log.join('\n')));
    QCOMPARE(log.last(), QString("Goodbye!"));
}

QTEST_GUILESS_MAIN(TestLauncherFailedLaunch)
#include "TestLauncherFailedLaunch.moc"
