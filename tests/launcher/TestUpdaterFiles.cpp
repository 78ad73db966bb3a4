#include "BuildConfig.h"
#include "support/Files.h"
#include "support/ScratchMount.h"
#include "updater/Updater.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

struct UpdaterTestAccess
{
    Updater& u;
    QString tempDirPath() { return u.tempDirPath(); }
    QString installDirPath() { return u.installDirPath(); }
    QString installReceiptPath() { return u.installReceiptPath(); }
    QString stagingDirPath() { return u.stagingDirPath(); }
    QString installTargetPath() { return u.installTargetPath(); }
    QString asideDirPath() { return u.asideDirPath(); }
    static bool isUnsafeInstallName(const QString& name) { return Updater::isUnsafeInstallName(name); }
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

void makeLink(const QString& target, const QString& linkPath)
{
    QDir().mkpath(QFileInfo(linkPath).absolutePath());
    QVERIFY2(QFile::link(target, linkPath), qPrintable(linkPath));
}

// Anything at all at path, a link that leads nowhere included.
bool somethingAt(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
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
    void linkedInstallKeepsItsFoldersBesideTheTarget_data();
    void linkedInstallKeepsItsFoldersBesideTheTarget();
    void refusesNamesThatCouldMeetAnotherInstall_data();
    void refusesNamesThatCouldMeetAnotherInstall();
    void acceptedNamesNeverShareAPath();
    void succeedsAtTheFirstAttempt_data();
    void succeedsAtTheFirstAttempt();
    void retriesThirtyTwoTimesThenGivesUp_data();
    void retriesThirtyTwoTimesThenGivesUp();
    void recreateDirEmptiesADirectory();
    void recreateDirReportsWhichStepFailed();
    void removalThatFailsIsNeverReportedAsDone_data();
    void removalThatFailsIsNeverReportedAsDone();
    void removalNeverEntersAMountPoint_data();
    void removalNeverEntersAMountPoint();

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

// Makes the install directory (installDir) a link as a player would, with the game somewhere
// below root; returns the folder the game really lives in, as the kernel resolves it.
using LinkSetup = std::function<QString(const QString& root, const QString& installDir)>;
Q_DECLARE_METATYPE(LinkSetup)

void TestUpdaterFiles::linkedInstallKeepsItsFoldersBesideTheTarget_data()
{
    QTest::addColumn<LinkSetup>("setup");

    QTest::newRow("no link: the install directory itself") << LinkSetup([](const QString&, const QString& installDir) {
        QDir().mkpath(installDir);
        return installDir;
    });
    QTest::newRow("absolute link") << LinkSetup([](const QString& root, const QString& installDir) {
        QDir().mkpath(root + "/disk/games/Pelwinter");
        makeLink(root + "/disk/games/Pelwinter", installDir);
        return root + "/disk/games/Pelwinter";
    });
    QTest::newRow("relative link") << LinkSetup([](const QString& root, const QString& installDir) {
        QDir().mkpath(root + "/disk/games/Pelwinter");
        makeLink(QDir(QFileInfo(installDir).path()).relativeFilePath(root + "/disk/games/Pelwinter"), installDir);
        return root + "/disk/games/Pelwinter";
    });
    QTest::newRow("link with a slash at its end") << LinkSetup([](const QString& root, const QString& installDir) {
        QDir().mkpath(root + "/disk/games/Pelwinter");
        makeLink(root + "/disk/games/Pelwinter/", installDir);
        return root + "/disk/games/Pelwinter";
    });
    QTest::newRow("chain of two links: the swap happens at its end")
        << LinkSetup([](const QString& root, const QString& installDir) {
               QDir().mkpath(root + "/disk/games/Pelwinter");
               makeLink("games/Pelwinter", root + "/disk/current");
               makeLink(root + "/disk/current", installDir);
               return root + "/disk/games/Pelwinter";
           });
    QTest::newRow("target missing: its place is still where the link leads")
        << LinkSetup([](const QString& root, const QString& installDir) {
               QDir().mkpath(root + "/disk/games");
               makeLink(root + "/disk/games/Pelwinter", installDir);
               return root + "/disk/games/Pelwinter";
           });
    QTest::newRow("folder of the target reached through a link")
        << LinkSetup([](const QString& root, const QString& installDir) {
               QDir().mkpath(root + "/disk/games/Pelwinter");
               makeLink(root + "/disk/games", root + "/alias");
               makeLink(root + "/alias/Pelwinter", installDir);
               return root + "/disk/games/Pelwinter";
           });
    // Lexically "alias/.." would be root; the kernel goes up from where alias leads.
    QTest::newRow("a .. after a linked folder is taken as the kernel takes it")
        << LinkSetup([](const QString& root, const QString& installDir) {
               QDir().mkpath(root + "/disk/games");
               QDir().mkpath(root + "/disk/other/Pelwinter");
               makeLink(root + "/disk/games", root + "/alias");
               makeLink(root + "/alias/../other/Pelwinter", installDir);
               return root + "/disk/other/Pelwinter";
           });
}

void TestUpdaterFiles::linkedInstallKeepsItsFoldersBesideTheTarget()
{
    QFETCH(LinkSetup, setup);
    QTemporaryDir rootDir;
    const QString root = QFileInfo(rootDir.path()).canonicalFilePath();
    Updater updater("exe", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess a{updater};
    const QString installDir = installs + "/main";
    const QString target = setup(root, installDir);

    QCOMPARE(a.installDirPath(), installDir);
    QCOMPARE(a.installReceiptPath(), installDir + ".json");
    QCOMPARE(a.installTargetPath(), target);
    QCOMPARE(a.stagingDirPath(), target + "_new");
    QCOMPARE(a.asideDirPath(), target + "_new_new");
    QVERIFY(QFile::remove(installDir) || QDir(installDir).removeRecursively());
}

void TestUpdaterFiles::refusesNamesThatCouldMeetAnotherInstall_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("refused");

    QTest::newRow("the default name") << "main" << false;
    QTest::newRow("letters and digits") << "Install1" << false;
    QTest::newRow("a dot inside") << "beta.2" << false;
    QTest::newRow("_new inside a word") << "a_newer" << false;
    QTest::newRow("json without its dot") << "json" << false;
    QTest::newRow("temp with more") << "temp2" << false;
    QTest::newRow("the receipt of another install") << "a.json" << true;
    QTest::newRow("a receipt's name in other case") << "a.JSON" << true;
    QTest::newRow("another install's staging folder") << "a_new" << true;
    QTest::newRow("another install's aside folder") << "a_new_new" << true;
    QTest::newRow("a staging folder's name in other case") << "a_NEW" << true;
    QTest::newRow("the download folder") << "temp" << true;
    QTest::newRow("the download folder in other case") << "Temp" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("dot") << "." << true;
    QTest::newRow("dot-dot") << ".." << true;
    QTest::newRow("a slash") << "a/b" << true;
}

void TestUpdaterFiles::refusesNamesThatCouldMeetAnotherInstall()
{
    QFETCH(QString, name);
    QFETCH(bool, refused);
    QCOMPARE(UpdaterTestAccess::isUnsafeInstallName(name), refused);
}

// Every name made of up to three pieces that can land on a suffix or on "temp": the paths of two
// accepted names in the installs folder never meet, also on a file system that ignores case (where
// names that differ only in case are one install).
void TestUpdaterFiles::acceptedNamesNeverShareAPath()
{
    const QStringList pieces{"a", "temp", "_new", "_NEW", ".json", ".Json", "json", "new", "_", ".", "TEMP"};
    QStringList names{""};
    QStringList all;
    for (int length = 1; length <= 3; ++length) {
        QStringList longer;
        for (const QString& name : std::as_const(names)) {
            for (const QString& piece : pieces)
                longer.append(name + piece);
        }
        names = longer;
        all += longer;
    }
    QHash<QString, QString> owner{{"temp", "(shared download folder)"}};
    int accepted = 0;
    for (const QString& name : std::as_const(all)) {
        if (UpdaterTestAccess::isUnsafeInstallName(name))
            continue;
        ++accepted;
        for (const QString& suffix : {"", ".json", "_new", "_new_new"}) {
            const QString path = (name + suffix).toLower();
            const QString other = owner.value(path);
            QVERIFY2(other.isEmpty() || other.compare(name, Qt::CaseInsensitive) == 0,
                     qPrintable(name + " meets " + other + " at " + path));
            owner.insert(path, name);
        }
    }
    QVERIFY(accepted > 100);
}

using DirOperation = std::function<bool(UpdaterTestAccess&, const QString& root)>;
Q_DECLARE_METATYPE(DirOperation)

void TestUpdaterFiles::succeedsAtTheFirstAttempt_data()
{
    QTest::addColumn<DirOperation>("operation");
    QTest::addColumn<QString>("expectedLine"); // with %1 for the root
    QTest::addColumn<QStringList>("existAfter");
    QTest::addColumn<QStringList>("goneAfter");

    QTest::newRow("removing a missing directory counts as removed")
        << DirOperation(
               [](UpdaterTestAccess& a, const QString& root) { return a.removeDirWithRetries(root + "/missing"); })
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
        << DirOperation([](UpdaterTestAccess& a, const QString& root) { return a.makeDirWithRetries(root + "/p/q/r"); })
        << "Created \"%1/p/q/r\" successfully." << QStringList{"p/q/r"} << QStringList();
    QTest::newRow("renaming a directory moves its content")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/from/file", "x");
               return a.renameWithRetries(root + "/from", root + "/to");
           })
        << "Renamed \"%1/from\" to \"%1/to\" successfully." << QStringList{"to/file"} << QStringList{"from"};
    // Whatever stands where a folder is to be removed goes, and nothing a link leads to.
    QTest::newRow("removing a regular file where a folder goes removes the file")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/stray", "x");
               return a.removeDirWithRetries(root + "/stray");
           })
        << "Removed \"%1/stray\" successfully." << QStringList() << QStringList{"stray"};
    QTest::newRow("removing a link to a folder removes the link, not what it leads to")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/elsewhere/keep", "x");
               makeLink(root + "/elsewhere", root + "/link");
               return a.removeDirWithRetries(root + "/link");
           })
        << "Removed \"%1/link\" successfully." << QStringList{"elsewhere/keep"} << QStringList{"link"};
    QTest::newRow("removing a link to a file removes the link")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/keep", "x");
               makeLink(root + "/keep", root + "/link");
               return a.removeDirWithRetries(root + "/link");
           })
        << "Removed \"%1/link\" successfully." << QStringList{"keep"} << QStringList{"link"};
    QTest::newRow("removing a link that leads nowhere removes it")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               makeLink(root + "/nothing", root + "/link");
               return a.removeDirWithRetries(root + "/link");
           })
        << "Removed \"%1/link\" successfully." << QStringList() << QStringList{"link"};
    QTest::newRow("removing a folder removes the links in it, not what they lead to")
        << DirOperation([](UpdaterTestAccess& a, const QString& root) {
               writeFile(root + "/elsewhere/keep", "x");
               writeFile(root + "/tree/file", "y");
               makeLink(root + "/elsewhere", root + "/tree/sub/link");
               return a.removeDirWithRetries(root + "/tree");
           })
        << "Removed \"%1/tree\" successfully." << QStringList{"elsewhere/keep"} << QStringList{"tree"};
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
        QVERIFY2(!somethingAt(root.path() + "/" + path), qPrintable(path));
}

void TestUpdaterFiles::retriesThirtyTwoTimesThenGivesUp_data()
{
    QTest::addColumn<DirOperation>("operation");
    QTest::addColumn<QString>("failureLine"); // with %1 for the root

    // Tests run as root, so permissions fail nothing: a regular file where a directory must go
    // and an existing rename target make the operations fail for real.
    QTest::newRow("directory blocked by a regular file") << DirOperation([](UpdaterTestAccess& a, const QString& root) {
        writeFile(root + "/file", "x");
        return a.makeDirWithRetries(root + "/file/dir");
    }) << "Failed to create \"%1/file/dir\"";
    QTest::newRow("rename target exists") << DirOperation([](UpdaterTestAccess& a, const QString& root) {
        writeFile(root + "/from/a", "new");
        writeFile(root + "/to/b", "old");
        return a.renameWithRetries(root + "/from", root + "/to");
    }) << "Failed to rename \"%1/from\" to \"%1/to\"";
    QTest::newRow("rename source missing") << DirOperation([](UpdaterTestAccess& a, const QString& root) {
        return a.renameWithRetries(root + "/nothing", root + "/to");
    }) << "Failed to rename \"%1/nothing\" to \"%1/to\"";
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
    // Each failure is followed by the pause, the last one included.
    const int pauses = 32 * BuildConfig::retryPolicy().fileOperationPauseMSecs;
    QVERIFY2(elapsed.elapsed() >= pauses, qPrintable(QString::number(elapsed.elapsed())));
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
    QCOMPARE(captured,
             (QStringList{"Removed " + quoted(dir) + " successfully.", "Created " + quoted(dir) + " successfully."}));
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

void TestUpdaterFiles::removalThatFailsIsNeverReportedAsDone_data()
{
    QTest::addColumn<bool>("isLink"); // a link to a folder with content; else a regular file

    QTest::newRow("a file") << false;
    QTest::newRow("a link") << true;
}

// A file or link that can't be removed (its folder is immutable, which binds root too) is reported
// as a failed removal, and what the link leads to is left whole.
void TestUpdaterFiles::removalThatFailsIsNeverReportedAsDone()
{
    QFETCH(bool, isLink);
    QTemporaryDir root;
    Updater updater("exe", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess a{updater};
    writeFile(root.path() + "/elsewhere/keep", "x");
    const QString stray = root.path() + "/locked/stray";
    if (isLink)
        makeLink(root.path() + "/elsewhere", stray);
    else
        writeFile(stray, "y");
    if (QProcess::execute("chattr", {"+i", root.path() + "/locked"}) != 0)
        QSKIP("this file system can't make a folder immutable");

    const bool removed = a.removeDirWithRetries(stray);
    QProcess::execute("chattr", {"-i", root.path() + "/locked"});
    QVERIFY(!removed);
    QCOMPARE(captured,
             repeated("Failed to recursively remove " + quoted(stray), 32) + QStringList{"Exhausted retries!"});
    QVERIFY(somethingAt(stray));
    QVERIFY(QFileInfo::exists(root.path() + "/elsewhere/keep"));
}

void TestUpdaterFiles::removalNeverEntersAMountPoint_data()
{
    QTest::addColumn<QString>("mounted"); // below the root: a tmpfs holding "precious"
    QTest::addColumn<QString>("removed");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QStringList>("lines"); // with %1 for the root
    QTest::addColumn<QStringList>("goneAfter");

    // refused at once, before anything is removed: no retry makes a mount go
    QTest::newRow("a folder holding a mount")
        << "aside/Pelwinter/Content"
        << "aside" << false
        << QStringList{"Failed to recursively remove \"%1/aside\" as it holds the mount point "
                       "\"%1/aside/Pelwinter/Content\""}
        << QStringList();
    QTest::newRow("a mount point") << "staging"
                                   << "staging" << false
                                   << QStringList{"Failed to recursively remove \"%1/staging\" as it is a mount point"}
                                   << QStringList();
    QTest::newRow("recreating a folder holding a mount")
        << "temp/m"
        << "recreate temp" << false
        << QStringList{"Failed to recursively remove \"%1/temp\" as it holds the mount point \"%1/temp/m\"",
                       "Failed to remove old folder \"%1/temp\""}
        << QStringList();
    // the link goes, the mount it leads to stays
    QTest::newRow("a link to a mount point")
        << "mounted"
        << "link" << true << QStringList{"Removed \"%1/link\" successfully."} << QStringList{"link"};
}

// A removal that went into a mounted folder would delete what that file system holds.
void TestUpdaterFiles::removalNeverEntersAMountPoint()
{
    QFETCH(QString, mounted);
    QFETCH(QString, removed);
    QFETCH(bool, done);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, goneAfter);
    QTemporaryDir root;
    const QString top = mounted.section('/', 0, 0);
    const auto mount = std::make_unique<MountOn>(root.path() + "/" + mounted);
    if (!mount->isMounted())
        QSKIP(qPrintable(mount->whyNot()));
    writeFile(mount->path() + "/precious", "p");
    writeFile(root.path() + "/" + top + "/beside", "b");
    makeLink(mount->path(), root.path() + "/link");
    Updater updater("exe", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess a{updater};

    const bool result = removed.startsWith("recreate ") ? a.recreateDir(root.path() + "/" + removed.mid(9))
                                                        : a.removeDirWithRetries(root.path() + "/" + removed);
    QCOMPARE(result, done);
    // one line, no retries
    QStringList wanted;
    for (const QString& line : lines)
        wanted.append(line.arg(root.path()));
    QCOMPARE(captured, wanted);
    QCOMPARE(readFile(mount->path() + "/precious"), QByteArray("p"));
    for (const QString& path : goneAfter)
        QVERIFY2(!somethingAt(root.path() + "/" + path), qPrintable(path));
    if (!done)
        QCOMPARE(readFile(root.path() + "/" + top + "/beside"), QByteArray("b"));
}

QTEST_GUILESS_MAIN(TestUpdaterFiles)
#include "TestUpdaterFiles.moc"
