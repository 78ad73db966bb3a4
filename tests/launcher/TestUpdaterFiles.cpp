#include "updater/Updater.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

struct UpdaterTestAccess
{
    Updater& u;
    QString tempDirPath() { return u.tempDirPath(); }
    QString installDirPath() { return u.installDirPath(); }
    QString installReceiptPath() { return u.installReceiptPath(); }
    QString stagingDirPath() { return u.stagingDirPath(); }
    QString patchFilePath(int index) { return u.patchFilePath(index); }
    QString platformName() { return u.platformName(); }
    QString binariesPlatformName() { return u.binariesPlatformName(); }
    QString executableSuffix() { return u.executableSuffix(); }
    bool removeDirWithRetries(const QString& path) { return u.removeDirWithRetries(path); }
    bool makeDirWithRetries(const QString& path) { return u.makeDirWithRetries(path); }
    bool recreateDir(const QString& path) { return u.recreateDir(path); }
    bool renameWithRetries(const QString& from, const QString& to) { return u.renameWithRetries(from, to); }
};

namespace
{
QStringList captured;

void captureHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    captured.append(message);
}

QString quoted(const QString& path)
{
    return "\"" + path + "\"";
}

QStringList repeated(const QString& line, int times)
{
    QStringList lines;
    for (int i = 0; i < times; ++i)
        lines.append(line);
    return lines;
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}
} // namespace

class TestUpdaterFiles : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void composesPaths();
    void installNamesShareOnlyTheDownloadDirectory();
    void succeedsAtTheFirstAttempt_data();
    void succeedsAtTheFirstAttempt();
    void retriesThirtyTwoTimesThenGivesUp_data();
    void retriesThirtyTwoTimesThenGivesUp();
    void recreateDirEmptiesADirectory();
    void recreateDirReportsWhichStepFailed();

private:
    QTemporaryDir data;
    QString installs;
};

void TestUpdaterFiles::initTestCase()
{
    QVERIFY(data.isValid());
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    installs = data.path() + "/pelwinter-launcher/pelwinter-installs";
    qInstallMessageHandler(captureHandler);
}

void TestUpdaterFiles::init()
{
    captured.clear();
}

void TestUpdaterFiles::cleanupTestCase()
{
    qInstallMessageHandler(nullptr);
}

void TestUpdaterFiles::composesPaths()
{
    Updater updater("exe", "main", "Install1", {}, false, false, true, nullptr);
    UpdaterTestAccess a{updater};
    QCOMPARE(a.tempDirPath(), installs + "/temp");
    QCOMPARE(a.installDirPath(), installs + "/Install1");
    QCOMPARE(a.installReceiptPath(), installs + "/Install1.json");
    QCOMPARE(a.stagingDirPath(), installs + "/Install1_new");
    QCOMPARE(a.patchFilePath(0), installs + "/temp/patch_0.diff");
    QCOMPARE(a.patchFilePath(10), installs + "/temp/patch_10.diff");
    QCOMPARE(a.platformName(), QString("linux"));
    QCOMPARE(a.binariesPlatformName(), QString("Linux"));
    QCOMPARE(a.executableSuffix(), QString(""));
}

void TestUpdaterFiles::installNamesShareOnlyTheDownloadDirectory()
{
    Updater first("exe", "main", "one", {}, false, false, true, nullptr);
    Updater second("exe", "main", "two", {}, false, false, true, nullptr);
    UpdaterTestAccess a{first};
    UpdaterTestAccess b{second};
    QCOMPARE(a.tempDirPath(), b.tempDirPath());
    QVERIFY(a.installDirPath() != b.installDirPath());
    QVERIFY(a.stagingDirPath() != b.stagingDirPath());
    QVERIFY(a.installReceiptPath() != b.installReceiptPath());
}

using DirOperation = std::function<bool(UpdaterTestAccess&, const QString& root)>;
Q_DECLARE_METATYPE(DirOperation)

void TestUpdaterFiles::succeedsAtTheFirstAttempt_data()
{
    QTest::addColumn<DirOperation>("operation");
    QTest::addColumn<QString>("expectedLine");  // with %1 for the root
    QTest::addColumn<QStringList>("existAfter");
    QTest::addColumn<QStringList>("goneAfter");

    QTest::newRow("removing a missing directory counts as removed")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               return a.removeDirWithRetries(root + "/missing");
           })
        << "Removed \"%1/missing\" successfully." << QStringList() << QStringList{"missing"};
    QTest::newRow("removing a tree removes everything in it")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/tree/sub/file", "x");
               return a.removeDirWithRetries(root + "/tree");
           })
        << "Removed \"%1/tree\" successfully." << QStringList() << QStringList{"tree"};
    QTest::newRow("making an existing directory counts as made")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               QDir().mkpath(root + "/exists");
               return a.makeDirWithRetries(root + "/exists");
           })
        << "Created \"%1/exists\" successfully." << QStringList{"exists"} << QStringList();
    QTest::newRow("making a directory makes its missing parents")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               return a.makeDirWithRetries(root + "/p/q/r");
           })
        << "Created \"%1/p/q/r\" successfully." << QStringList{"p/q/r"} << QStringList();
    QTest::newRow("renaming a directory moves its content")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/from/file", "x");
               return a.renameWithRetries(root + "/from", root + "/to");
           })
        << "Renamed \"%1/from\" to \"%1/to\" successfully." << QStringList{"to/file"} << QStringList{"from"};
}

void TestUpdaterFiles::succeedsAtTheFirstAttempt()
{
    QFETCH(DirOperation, operation);
    QFETCH(QString, expectedLine);
    QFETCH(QStringList, existAfter);
    QFETCH(QStringList, goneAfter);
    QTemporaryDir root;
    Updater updater("exe", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess a{updater};

    QVERIFY(operation(a, root.path()));
    QCOMPARE(captured, QStringList{expectedLine.arg(root.path())});
    for (const QString& path : existAfter)
        QVERIFY2(QFileInfo::exists(root.path() + "/" + path), qPrintable(path));
    for (const QString& path : goneAfter)
        QVERIFY2(!QFileInfo::exists(root.path() + "/" + path), qPrintable(path));
}

void TestUpdaterFiles::retriesThirtyTwoTimesThenGivesUp_data()
{
    QTest::addColumn<DirOperation>("operation");
    QTest::addColumn<QString>("failureLine");  // with %1 for the root

    // Tests run as root, so permissions fail nothing: a regular file where a directory must go
    // and an existing rename target make the operations fail for real.
    QTest::newRow("directory blocked by a regular file")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/file", "x");
               return a.makeDirWithRetries(root + "/file/dir");
           })
        << "Failed to create \"%1/file/dir\"";
    QTest::newRow("rename target exists")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/from/a", "new");
               writeFile(root + "/to/b", "old");
               return a.renameWithRetries(root + "/from", root + "/to");
           })
        << "Failed to rename \"%1/from\" to \"%1/to\"";
    QTest::newRow("rename source missing")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               return a.renameWithRetries(root + "/nothing", root + "/to");
           })
        << "Failed to rename \"%1/nothing\" to \"%1/to\"";
}

void TestUpdaterFiles::retriesThirtyTwoTimesThenGivesUp()
{
    QFETCH(DirOperation, operation);
    QFETCH(QString, failureLine);
    QTemporaryDir root;
    Updater updater("exe", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess a{updater};

    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!operation(a, root.path()));
    // Each failure is followed by a 100 ms pause, the last one included.
    QVERIFY2(elapsed.elapsed() >= 3150, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(captured, repeated(failureLine.arg(root.path()), 32) + QStringList{"Exhausted retries!"});
}

void TestUpdaterFiles::recreateDirEmptiesADirectory()
{
    QTemporaryDir root;
    Updater updater("exe", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess a{updater};
    const QString dir = root.path() + "/staging";
    writeFile(dir + "/old/file", "x");
    writeFile(dir + "/top", "y");

    QVERIFY(a.recreateDir(dir));
    QVERIFY(QFileInfo(dir).isDir());
    QVERIFY(QDir(dir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System));
    QCOMPARE(captured, (QStringList{"Removed " + quoted(dir) + " successfully.",
                                    "Created " + quoted(dir) + " successfully."}));
}

void TestUpdaterFiles::recreateDirReportsWhichStepFailed()
{
    QTemporaryDir root;
    Updater updater("exe", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess a{updater};

    // Removal succeeds (nothing there), making fails: the parent is a regular file.
    writeFile(root.path() + "/file", "x");
    const QString blocked = root.path() + "/file/dir";
    QVERIFY(!a.recreateDir(blocked));
    QCOMPARE(captured, (QStringList{"Removed " + quoted(blocked) + " successfully."} +
                        repeated("Failed to create " + quoted(blocked), 32) +
                        QStringList{"Exhausted retries!", "Failed to create folder " + quoted(blocked)}));

    // Removal fails: an immutable file can't be deleted, not even by root.
    const QString stuck = root.path() + "/stuck";
    writeFile(stuck + "/pinned", "x");
    if (QProcess::execute("chattr", {"+i", stuck + "/pinned"}) != 0)
        QSKIP("this file system can't make a file immutable");
    captured.clear();
    const bool result = a.recreateDir(stuck);
    QProcess::execute("chattr", {"-i", stuck + "/pinned"});
    QVERIFY(!result);
    QCOMPARE(captured, (repeated("Failed to recursively remove " + quoted(stuck), 32) +
                        QStringList{"Exhausted retries!", "Failed to remove old folder " + quoted(stuck)}));
    QVERIFY(QFileInfo::exists(stuck + "/pinned"));
}

QTEST_GUILESS_MAIN(TestUpdaterFiles)
#include "TestUpdaterFiles.moc"
