#include "support/FakeGame.h"
#include "support/Files.h"
#include "support/LauncherSandbox.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace
{
// Every file and folder below root with its content, to show that nothing was touched.
QStringList snapshot(const QString& root, const QString& skip)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path == skip)
            continue;
        QFile file(path);
        const QByteArray content = it.fileInfo().isFile() && file.open(QIODevice::ReadOnly) ? file.readAll() : "";
        const QString link = it.fileInfo().isSymLink() ? " -> " + it.fileInfo().symLinkTarget() : QString();
        entries.append(path + link + " " + QString::fromUtf8(content.toHex()));
    }
    entries.sort();
    return entries;
}

} // namespace

class TestLauncherStartup : public QObject
{
    Q_OBJECT
private slots:
    void rewritesTheLogFile();
    void refusesUnsafeInstallNames_data();
    void refusesUnsafeInstallNames();
    void refusesALinkThatLeadsBackToItself_data();
    void refusesALinkThatLeadsBackToItself();
};

void TestLauncherStartup::rewritesTheLogFile()
{
    LauncherSandbox sandbox;
    writeFile(sandbox.logPath(), "a log of an earlier run\n");

    const LauncherSandbox::Result run = sandbox.run(TEST_LAUNCHER_BINARY, {});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    // Nothing goes to the terminal's error stream while the writer is installed.
    QCOMPARE(run.err, QByteArray());

    const QStringList lines = sandbox.readLog().split('\n');
    QVERIFY(lines.size() > 10);
    const QString dashes(69, '-');
    QCOMPARE(lines[0], QString("Hello!"));
    QCOMPARE(lines[1], QString("Log file started:"));
    QVERIFY(QRegularExpression("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d \\(local\\)$").match(lines[2]).hasMatch());
    QVERIFY(QRegularExpression("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d \\(UTC\\)$").match(lines[3]).hasMatch());
    QCOMPARE(lines[4], dashes);
    QCOMPARE(lines[lines.size() - 3], dashes);
    QCOMPARE(lines[lines.size() - 2], QString("Goodbye!"));
    QCOMPARE(lines.last(), QString());

    const QRegularExpression prefix("^\\[0x[0-9a-f]+ *\\|\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] ");
    QStringList messages;
    for (int i = 5; i < lines.size() - 3; ++i) {
        if (prefix.match(lines[i]).hasMatch())
            messages.append(QString(lines[i]).remove(prefix));
        else
            QVERIFY2(!messages.isEmpty(), qPrintable(lines[i])); // continuation of a multi-line message
    }
    QVERIFY(!sandbox.readLog().contains("earlier run"));

    const QRegularExpression sslVersion("^SSL library version: \".+\"$");
    const QRegularExpression sslBuildVersion("^SSL library build version: \".+\"$");
    int ssl = -1;
    int sslBuild = -1;
    for (int i = 0; i < messages.size(); ++i) {
        if (sslVersion.match(messages[i]).hasMatch())
            ssl = i;
        if (sslBuildVersion.match(messages[i]).hasMatch())
            sslBuild = i;
    }
    QVERIFY2(ssl >= 0 && sslBuild == ssl + 1, qPrintable(messages.join('\n')));
    const int server = messages.indexOf("Server: false");
    QVERIFY(server > sslBuild);
    QCOMPARE(messages.mid(server, 3), (QStringList{"Server: false", "Branch: \"main\"", "Running in headless mode."}));
    QVERIFY(!messages.join('\n').contains("Profile:"));
}

void TestLauncherStartup::refusesUnsafeInstallNames_data()
{
    QTest::addColumn<QString>("branchValue");
    QTest::addColumn<QString>("installName");

    QTest::newRow("empty name is the installs folder itself") << ""
                                                              << "";
    QTest::newRow("dot is the installs folder itself") << "."
                                                       << ".";
    QTest::newRow("dot-dot leaves the installs folder") << ".."
                                                        << "..";
    QTest::newRow("slash names a nested or outside folder") << "../escape:main"
                                                            << "../escape";
    QTest::newRow("nested name") << "a/b"
                                 << "a/b";
    QTest::newRow("temp is the shared download directory") << "temp:main"
                                                           << "temp";
    QTest::newRow("_new is another install's staging directory") << "main_new"
                                                                 << "main_new";
    QTest::newRow("_new_new is another install's aside folder") << "main_new_new:main"
                                                                << "main_new_new";
    QTest::newRow(".json is another install's receipt") << "main.json:main"
                                                        << "main.json";
    QTest::newRow(".json in other case, for file systems that ignore case") << "Main.JSON:main"
                                                                            << "Main.JSON";
    QTest::newRow("temp in other case") << "TEMP:main"
                                        << "TEMP";
}

void TestLauncherStartup::refusesUnsafeInstallNames()
{
    QFETCH(QString, branchValue);
    QFETCH(QString, installName);

    LauncherSandbox sandbox;
    // Data a careless run would destroy or start: other installs, their receipts, the shared
    // download directory, and a game right where the unsafe name points.
    writeFile(sandbox.installsDir() + "/main/Pelwinter/data.pak", "game data");
    writeFile(sandbox.installsDir() + "/main.json", "{\"version\": \"1\"}");
    writeFile(sandbox.installsDir() + "/temp/patch_0.diff", "patch");
    writeFile(sandbox.dataDir() + "/pelwinter-launcher/escape/keep", "keep");
    const QString record = sandbox.root() + "/game.record";
    sandbox.setEnv("FAKE_GAME_RECORD", record);
    FakeGame::install(sandbox.installsDir() + "/" + installName);
    const QStringList before = snapshot(sandbox.dataDir(), sandbox.logPath());

    const LauncherSandbox::Result run = sandbox.run(TEST_LAUNCHER_BINARY, {"--branch=" + branchValue});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QByteArray failure =
        "\x1b[1;37;41mInit Failed!\x1b[0m \x1b[1;31mThe install name \"" + installName.toUtf8() + "\" can't be used";
    QVERIFY2(run.out.contains(failure), run.out.constData());
    QVERIFY(!run.out.contains("All done!"));
    QCOMPARE(snapshot(sandbox.dataDir(), sandbox.logPath()), before);
    QVERIFY(!QFile::exists(record));
    QVERIFY(!sandbox.logMessages().contains("Trying to launch Pelwinter."));
}

void TestLauncherStartup::refusesALinkThatLeadsBackToItself_data()
{
    QTest::addColumn<QStringList>("links"); // pairs: link path, its text (paths below the installs folder)

    QTest::newRow("a link to itself") << QStringList{"main", "main"};
    QTest::newRow("two links to each other") << QStringList{"main", "other", "other", "main"};
}

// With no folder at the end of the links there is nothing to update and no place beside it for the
// staging and aside folders.
void TestLauncherStartup::refusesALinkThatLeadsBackToItself()
{
    QFETCH(QStringList, links);

    LauncherSandbox sandbox;
    writeFile(sandbox.installsDir() + "/temp/patch_0.diff", "patch");
    writeFile(sandbox.installsDir() + "/main.json", "{\"version\": \"1\"}");
    for (qsizetype i = 0; i + 1 < links.size(); i += 2)
        QVERIFY(QFile::link(links[i + 1], sandbox.installsDir() + "/" + links[i]));
    const QStringList before = snapshot(sandbox.dataDir(), sandbox.logPath());

    const LauncherSandbox::Result run = sandbox.run(TEST_LAUNCHER_BINARY, {});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QByteArray failure = "\x1b[1;37;41mInit Failed!\x1b[0m \x1b[1;31mThe install folder \"" +
                               sandbox.installDir().toUtf8() + "\" is a symbolic link that leads back to itself.";
    QVERIFY2(run.out.contains(failure), run.out.constData());
    QCOMPARE(snapshot(sandbox.dataDir(), sandbox.logPath()), before);
}

QTEST_GUILESS_MAIN(TestLauncherStartup)
#include "TestLauncherStartup.moc"
