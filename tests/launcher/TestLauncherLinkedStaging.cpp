// Updates that cost what they change, end to end: the test build of the launcher against the loopback
// update server applies directory patches whose unchanged files become hard links to the old install's
// files in the staging folder (copies carrying the old time where the file system refuses links), and
// hashes again only what the patches wrote or moved. The old install must stay exactly as it was at every
// step of the swap, so every kill point looks at it through the links.

#include "support/DirDiffWriter.h"
#include "support/FakeGame.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/RandomBytes.h"
#include "support/ScratchMount.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace
{
using Entries = FileTree::Entries;

const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";
const QString gamePath = "Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping";
const QStringList chain{"1.0", "1.1", "1.2"};

// Three versions of a small game. From 1.0 to 1.1: the game and zone.pak are rewritten, an execute
// bit is set on one unchanged file and cleared on another, base.dat gets two more paths with its
// bytes, and a.bin moves to b.bin, whose old file had the same size (and, installed, the same time).
// From 1.1 to 1.2 the game and zone.pak change again and a map is added; everything else stays.
Entries version(const QString& name)
{
    const QByteArray base = randomBytes(20000, 2);
    const QByteArray moved = randomBytes(30000, 3);
    Entries tree{{"Pelwinter/", FileTree::dir()},
                 {"Pelwinter/Binaries/", FileTree::dir()},
                 {"Pelwinter/Binaries/Linux/", FileTree::dir()},
                 {gamePath, FileTree::file(FakeGame::script() + "# " + name.toUtf8() + "\n", true)},
                 {"Pelwinter/Binaries/Linux/on.sh", FileTree::file("#!/bin/sh\necho on\n", name != "1.0")},
                 {"Pelwinter/Binaries/Linux/off.sh", FileTree::file("#!/bin/sh\necho off\n", name == "1.0")},
                 {"Pelwinter/Content/", FileTree::dir()},
                 {"Pelwinter/Content/same.pak", FileTree::file(randomBytes(40000, 1))},
                 {"Pelwinter/Content/base.dat", FileTree::file(base)},
                 {"Pelwinter/Content/zone.pak", FileTree::file(randomBytes(25000, 10 + quint32(chain.indexOf(name))))}};
    if (name == "1.0") {
        tree["Pelwinter/Content/a.bin"] = FileTree::file(moved);
        tree["Pelwinter/Content/b.bin"] = FileTree::file(randomBytes(30000, 4));
    } else {
        tree["Pelwinter/Content/b.bin"] = FileTree::file(moved);
        tree["Pelwinter/Content/twinA.dat"] = FileTree::file(base);
        tree["Pelwinter/Content/twinB.dat"] = FileTree::file(base);
    }
    if (name == "1.2") {
        tree["Pelwinter/Content/maps/"] = FileTree::dir();
        tree["Pelwinter/Content/maps/new.map"] = FileTree::file(randomBytes(15000, 20));
    }
    return tree;
}

// What each patch writes or moves, so the rehash after it must read: everything but the files it keeps at
// the same path with the same mode.
const QStringList writtenBy11{gamePath,
                              "Pelwinter/Binaries/Linux/off.sh",
                              "Pelwinter/Binaries/Linux/on.sh",
                              "Pelwinter/Content/b.bin",
                              "Pelwinter/Content/twinA.dat",
                              "Pelwinter/Content/twinB.dat",
                              "Pelwinter/Content/zone.pak"};

mode_t processUmask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// The mode the launcher gives a file of the new install: the process's default, with every execute bit
// where the patch marks the file executable.
mode_t launcherMode(bool executable)
{
    static const mode_t plain = 0666 & ~processUmask();
    return executable ? plain | 0111 : plain;
}

struct stat statOf(const QString& path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        info.st_ino = 0;
    return info;
}

// Every file below root, relative path -> its stat.
QMap<QString, struct stat> filesBelow(const QString& root)
{
    QMap<QString, struct stat> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), statOf(path));
    }
    return files;
}

// Whether the tree at root is exactly the version: bytes, and the mode the launcher gives every file
// (where the file system keeps modes). Names the first difference.
QString differenceFrom(const QString& root, const QString& name, bool modesKept = true)
{
    Entries found = FileTree::read(root);
    Entries wanted = version(name);
    if (!modesKept) {
        for (Entries* tree : {&found, &wanted}) {
            for (FileTree::Entry& entry : *tree)
                entry.executable = false;
        }
    }
    if (found != wanted) {
        for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
            if (!found.contains(it.key()) || found[it.key()] != *it)
                return it.key() + " differs from " + name;
        }
        return "an extra entry beside " + name;
    }
    if (!modesKept)
        return QString();
    const QMap<QString, struct stat> files = filesBelow(root);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if ((it->st_mode & 07777) != launcherMode(wanted[it.key()].executable))
            return it.key() + QString(" has mode %1").arg(it->st_mode & 07777, 0, 8);
    }
    return QString();
}

// The version the tree at root is at, or empty.
QString versionAt(const QString& root, bool modesKept = true)
{
    for (const QString& name : chain) {
        if (differenceFrom(root, name, modesKept).isEmpty())
            return name;
    }
    return QString();
}

// The count in the n-th "Found N game files that require hashing." line of the log; -1 without one.
int hashedCount(const QStringList& log, int occurrence)
{
    for (const QString& line : log) {
        if (line.startsWith("Found ") && line.endsWith(" game files that require hashing.") && --occurrence == 0)
            return line.section(' ', 1, 1).toInt();
    }
    return -1;
}

} // namespace

class TestLauncherLinkedStaging : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stagingSharesOnlyWhatNothingChanges_data();
    void stagingSharesOnlyWhatNothingChanges();
    void chainRehashesOnlyWhatItsPatchesWrote();
    void killedChainLeavesAWholeVersion_data();
    void killedChainLeavesAWholeVersion();
    void patchNamingAPathTwiceIsRefused();
    void unwrittenReceiptOfTheNewInstallStopsTheSwap_data();
    void unwrittenReceiptOfTheNewInstallStopsTheSwap();

private:
    // The folder the swap renames: the install directory, or the target of a linked install.
    QString swapDir() const { return linkTarget.isEmpty() ? road->installDir() : linkTarget; }

    void publish(const QString& currentVersion, const QMap<QString, QByteArray>& patches);
    // Installs the version as the launcher would have left it: the launcher's modes, and a.bin and b.bin
    // of one time, as files written within one clock tick are.
    void installVersion(const QString& name);
    // Makes the install folder a link to a folder in dir, as a player keeping the game elsewhere does.
    void linkInstallInto(const QString& dir);
    LauncherSandbox::Result runLauncher(const QMap<QString, QString>& faults = {});
    QString withPaths(const QString& text) const;

    QTemporaryDir sources;
    QMap<QString, QByteArray> patches;     // "1.0" -> the patch from 1.0, built once
    QMap<QString, QByteArray> fullPatches; // "1.0" -> the full patch of 1.0
    std::unique_ptr<LauncherRoad> road;
    std::unique_ptr<ScratchMount> mount;
    std::unique_ptr<QTemporaryDir> elsewhere;
    QString linkTarget;
    bool modesKept = true; // false on vfat, where every file has one mode
};

void TestLauncherLinkedStaging::initTestCase()
{
    QVERIFY(!GameContent::b3sumHex("x").isEmpty());
    QVERIFY(!FakeGame::script().isEmpty());
    for (const QString& name : chain)
        QVERIFY(FileTree::write(sources.filePath(name), version(name)));
    for (int i = 0; i + 1 < chain.size(); ++i)
        patches[chain[i]] = DirDiffWriter::build(sources.filePath(chain[i]), sources.filePath(chain[i + 1])).toBytes();
    for (const QString& name : chain)
        fullPatches[name] = DirDiffWriter::build(QString(), sources.filePath(name)).toBytes();
}

void TestLauncherLinkedStaging::init()
{
    road = std::make_unique<LauncherRoad>();
    QVERIFY(road->server().start(TEST_SERVER_PORT));
    QVERIFY(road->isValid());
}

void TestLauncherLinkedStaging::cleanup()
{
    road.reset();
    linkTarget.clear();
    modesKept = true;
    elsewhere.reset();
    mount.reset();
}

void TestLauncherLinkedStaging::publish(const QString& currentVersion, const QMap<QString, QByteArray>& chainPatches)
{
    const auto manifestFiles = [this](const QString& name) {
        return GameContent::publishFiles(road->server(), version(name));
    };
    QJsonArray nodes;
    for (int i = 0; i + 1 < chain.size() && chain[i] != currentVersion; ++i) {
        const QByteArray& patch = chainPatches[chain[i]];
        const QString hash = "patch-" + chain[i];
        road->server().putBlob(hash, patch, 1);
        nodes.append(road->patchNode(chain[i], chain[i + 1], LauncherRoad::resource(hash, patch.size()),
                                     manifestFiles(chain[i])));
    }
    const QByteArray& full = fullPatches[currentVersion];
    road->server().putBlob("full-" + currentVersion, full, 1);
    road->publishBranch(currentVersion, manifestFiles(currentVersion), nodes,
                        LauncherRoad::resource("full-" + currentVersion, full.size()));
}

void TestLauncherLinkedStaging::installVersion(const QString& name)
{
    const Entries tree = version(name);
    QVERIFY(FileTree::write(swapDir(), tree));
    for (auto it = tree.cbegin(); it != tree.cend() && modesKept; ++it) {
        if (!it->isDir)
            QCOMPARE(::chmod(QFile::encodeName(swapDir() + "/" + it.key()).constData(), launcherMode(it->executable)),
                     0);
    }
    if (name == "1.0") {
        const struct timespec times[2] = {{0, UTIME_OMIT}, statOf(swapDir() + "/Pelwinter/Content/a.bin").st_mtim};
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(swapDir() + "/Pelwinter/Content/b.bin").constData(), times, 0),
                 0);
    }
    QVERIFY(road->writeReceipt(QJsonObject{{"version", name}, {"branch", "main"}}));
}

void TestLauncherLinkedStaging::linkInstallInto(const QString& dir)
{
    linkTarget = dir + "/games/Pelwinter";
    QVERIFY(QDir().mkpath(linkTarget));
    QVERIFY(QDir().mkpath(road->installsDir()));
    QVERIFY(QFile::link(linkTarget, road->installDir()));
}

LauncherSandbox::Result TestLauncherLinkedStaging::runLauncher(const QMap<QString, QString>& faults)
{
    return faults.isEmpty() ? road->runLauncher() : road->runWithFaults(LAUNCHER_FAULTS, faults, swapDir());
}

QString TestLauncherLinkedStaging::withPaths(const QString& text) const
{
    return road->withPaths(text, swapDir());
}

void TestLauncherLinkedStaging::stagingSharesOnlyWhatNothingChanges_data()
{
    QTest::addColumn<QString>("where");
    QTest::newRow("install folder") << "";
    QTest::newRow("linked install, same file system") << "elsewhere";
    // vfat refuses hard links: every unchanged file is a copy, carrying the old file's time
    QTest::newRow("linked install on vfat") << "vfat";
    // the same answer where the kernel has no vfat: the copies, with the modes this disk keeps
    QTest::newRow("links refused") << "refused";
}

void TestLauncherLinkedStaging::stagingSharesOnlyWhatNothingChanges()
{
    QFETCH(QString, where);
    const bool vfat = where == "vfat";
    const bool copies = vfat || where == "refused";
    const QMap<QString, QString> refused = where == "refused"
                                               ? QMap<QString, QString>{{"PELWINTER_FAULT_REFUSE_LINKS", "{staging}/"}}
                                               : QMap<QString, QString>();
    if (vfat) {
        mount = std::make_unique<ScratchMount>(ScratchMount::Vfat, 64ll << 20);
        if (!mount->isMounted())
            QSKIP(qPrintable("no vfat mount: " + mount->whyNot()));
        linkInstallInto(mount->path());
        modesKept = false;
    } else if (where == "elsewhere") {
        elsewhere = std::make_unique<QTemporaryDir>();
        QVERIFY(elsewhere->isValid());
        linkInstallInto(elsewhere->path());
    }
    installVersion("1.0");
    publish("1.1", patches);
    const QMap<QString, struct stat> old = filesBelow(swapDir());

    // Stopped between the two renames of the swap: the old install aside, the new one complete beside it.
    QMap<QString, QString> faults = refused;
    faults.insert("PELWINTER_FAULT_KILL_AT_LOG", "Moving new install into place.");
    const LauncherSandbox::Result killed = runLauncher(faults);
    QCOMPARE(killed.exitStatus, QProcess::CrashExit);
    const QString aside = swapDir() + "_new_new";
    const QString staging = swapDir() + "_new";
    QCOMPARE(differenceFrom(aside, "1.0", !vfat), QString());
    QCOMPARE(differenceFrom(staging, "1.1", !vfat), QString());

    // The first new path from an old file of the same mode shares it; a changed mode, or a second path
    // from the same old file, gets a file of its own.
    const QMap<QString, QString> sharing{
        {"Pelwinter/Content/same.pak", "Pelwinter/Content/same.pak"},
        {"Pelwinter/Content/base.dat", "Pelwinter/Content/base.dat"},
        {"Pelwinter/Content/b.bin", "Pelwinter/Content/a.bin"},
    };
    const QMap<QString, QString> copied{
        {"Pelwinter/Content/twinA.dat", "Pelwinter/Content/base.dat"},
        {"Pelwinter/Content/twinB.dat", "Pelwinter/Content/base.dat"},
        {"Pelwinter/Binaries/Linux/on.sh", "Pelwinter/Binaries/Linux/on.sh"},
        {"Pelwinter/Binaries/Linux/off.sh", "Pelwinter/Binaries/Linux/off.sh"},
    };
    const QMap<QString, struct stat> fresh = filesBelow(staging);
    const QMap<QString, struct stat> asideFiles = filesBelow(aside);
    QSet<ino_t> inodes;
    for (auto it = fresh.cbegin(); it != fresh.cend(); ++it) {
        QVERIFY2(!inodes.contains(it->st_ino), qPrintable(it.key() + " shares a file with another new path"));
        inodes.insert(it->st_ino);
    }
    for (auto it = sharing.cbegin(); it != sharing.cend(); ++it) {
        const bool linked = fresh[it.key()].st_ino == asideFiles[it.value()].st_ino;
        QVERIFY2(linked != copies, qPrintable(it.key()));
    }
    for (auto it = copied.cbegin(); it != copied.cend(); ++it)
        QVERIFY2(fresh[it.key()].st_ino != asideFiles[it.value()].st_ino, qPrintable(it.key()));
    if (copies) {
        // the copies keep the old file's time, so that its record still matches
        QMap<QString, QString> all = sharing;
        all.insert(copied);
        for (auto it = all.cbegin(); it != all.cend(); ++it) {
            QCOMPARE(fresh[it.key()].st_mtim.tv_sec, old[it.value()].st_mtim.tv_sec);
            QCOMPARE(fresh[it.key()].st_mtim.tv_nsec, old[it.value()].st_mtim.tv_nsec);
        }
    }
    // nothing of the old install changed through a link: not its bytes (above), modes or times
    for (auto it = old.cbegin(); it != old.cend(); ++it) {
        QCOMPARE(asideFiles[it.key()].st_mode, it->st_mode);
        QCOMPARE(asideFiles[it.key()].st_mtim.tv_sec, it->st_mtim.tv_sec);
        QCOMPARE(asideFiles[it.key()].st_mtim.tv_nsec, it->st_mtim.tv_nsec);
    }

    // The next run gets the old install back and updates it. b.bin at its new path has a.bin's file, of
    // the size and time that old b.bin had: its old record must not be taken for it.
    const LauncherSandbox::Result run = runLauncher(refused);
    QVERIFY2(run.out.endsWith(doneLine), run.out.right(1500).constData());
    QCOMPARE(differenceFrom(road->installDir(), "1.1", !vfat), QString());
    QVERIFY(road->gameStarted());
    QVERIFY(!QFileInfo::exists(staging));
    QVERIFY(!QFileInfo::exists(aside));
    if (!linkTarget.isEmpty()) {
        QVERIFY(QFileInfo(road->installDir()).isSymLink());
        QCOMPARE(QFileInfo(road->installDir()).symLinkTarget(), linkTarget);
    }
    // Only what the patch wrote or moved is hashed after it: on vfat no mode changes, so the files whose
    // execute bit the patch changes stay as they are there.
    QStringList written = writtenBy11;
    if (vfat)
        written.removeIf([](const QString& path) { return path.endsWith(".sh"); });
    const QStringList log = road->logMessages();
    QCOMPARE(hashedCount(log, 2), int(written.size()));

    // The receipt's records are the new version's digests, and the next run reads nothing.
    QMap<QString, QString> recorded;
    for (const QJsonValue& record : road->readReceipt().value("gameFiles").toArray())
        recorded.insert(record["path"].toString(), record["hash"].toString());
    const Entries tree = version("1.1");
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (!it->isDir)
            QCOMPARE(recorded.value(it.key()), GameContent::b3sumHex(it->content));
    }
    const LauncherSandbox::Result again = runLauncher();
    QVERIFY2(again.out.endsWith(doneLine), again.out.right(1500).constData());
    QCOMPARE(hashedCount(road->logMessages(), 1), 0);
}

void TestLauncherLinkedStaging::chainRehashesOnlyWhatItsPatchesWrote()
{
    installVersion("1.0");
    publish("1.2", patches);

    const LauncherSandbox::Result run = runLauncher();

    QVERIFY2(run.out.endsWith(doneLine), run.out.right(1500).constData());
    QCOMPARE(differenceFrom(road->installDir(), "1.2"), QString());
    // what either patch wrote or moved: the records of files the first one wrote are gone before the second
    QSet<QString> written(writtenBy11.cbegin(), writtenBy11.cend());
    written.insert("Pelwinter/Content/maps/new.map");
    const QStringList log = road->logMessages();
    const Entries first = version("1.0");
    const auto files =
        std::count_if(first.cbegin(), first.cend(), [](const FileTree::Entry& entry) { return !entry.isDir; });
    QCOMPARE(hashedCount(log, 1), int(files)); // every file of 1.0: nothing recorded yet
    QCOMPARE(hashedCount(log, 2), int(written.size()));
}

void TestLauncherLinkedStaging::killedChainLeavesAWholeVersion_data()
{
    // Where the run is killed: after the n-th log line containing text, or after the n-th removal of a
    // file whose path contains text (halfway through removing the old install).
    QTest::addColumn<QString>("logText");
    QTest::addColumn<QString>("unlinkText");
    QTest::addColumn<int>("occurrence");

    const QString applied = "Patch applied successfully.";
    const QString asideMoved = "Renamed \"{install}\" to \"{aside}\" successfully.";
    const QString movedIn = "Renamed \"{staging}\" to \"{install}\" successfully.";
    const QString receipt = "Saved install receipt.";
    const QString removing = "{aside}/Pelwinter/Content/same.pak";
    for (int patch = 1; patch <= 2; ++patch) {
        const QByteArray which = patch == 1 ? "first patch: " : "second patch: ";
        QTest::newRow(which + "after the apply") << applied << "" << patch;
        QTest::newRow(which + "after moving the old install aside") << asideMoved << "" << patch;
        QTest::newRow(which + "after moving the staging folder in") << movedIn << "" << patch;
        QTest::newRow(which + "after the receipt") << receipt << "" << patch;
        QTest::newRow(which + "during the removal of the aside copy") << "" << removing << patch;
    }
}

void TestLauncherLinkedStaging::killedChainLeavesAWholeVersion()
{
    QFETCH(QString, logText);
    QFETCH(QString, unlinkText);
    QFETCH(int, occurrence);

    installVersion("1.0");
    publish("1.2", patches);
    QMap<QString, QString> faults;
    if (!logText.isEmpty())
        faults = {{"PELWINTER_FAULT_KILL_AT_LOG", logText},
                  {"PELWINTER_FAULT_KILL_AT_COUNT", QString::number(occurrence)}};
    else
        faults = {{"PELWINTER_FAULT_KILL_AT_UNLINK", unlinkText},
                  {"PELWINTER_FAULT_KILL_AT_UNLINK_COUNT", QString::number(occurrence)}};

    const LauncherSandbox::Result killed = runLauncher(faults);
    QCOMPARE(killed.exitStatus, QProcess::CrashExit);

    // Whatever is in place is a whole version; so is the aside copy, which the links never changed,
    // unless it was being removed: then what is left of it is still the version before the patch.
    const QString before = chain[occurrence - 1];
    const QString aside = swapDir() + "_new_new";
    if (QFileInfo::exists(swapDir()))
        QVERIFY2(!versionAt(swapDir()).isEmpty(), qPrintable(differenceFrom(swapDir(), before)));
    else
        QCOMPARE(differenceFrom(aside, before), QString());
    if (QFileInfo::exists(aside) && unlinkText.isEmpty()) {
        QCOMPARE(differenceFrom(aside, before), QString());
    } else if (QFileInfo::exists(aside)) {
        const Entries wanted = version(before);
        const Entries left = FileTree::read(aside);
        QVERIFY(left.size() < wanted.size());
        for (auto it = left.cbegin(); it != left.cend(); ++it)
            QVERIFY2(wanted.value(it.key()) == *it, qPrintable(it.key()));
        const QMap<QString, struct stat> files = filesBelow(aside);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QCOMPARE(it->st_mode & 07777, launcherMode(wanted[it.key()].executable));
    }

    // The next run completes the chain from wherever it was left, and validates what it made.
    const LauncherSandbox::Result run = runLauncher();
    QVERIFY2(run.out.endsWith(doneLine), run.out.right(1500).constData());
    const QString left = differenceFrom(road->installDir(), "1.2");
    if (!left.isEmpty())
        qWarning().noquote() << road->logMessages().join("\n");
    QVERIFY2(left.isEmpty(), qPrintable(left));
    QCOMPARE(road->readReceipt().value("version"), QJsonValue("1.2"));
    QVERIFY(road->gameStarted());
}

void TestLauncherLinkedStaging::patchNamingAPathTwiceIsRefused()
{
    // zone.pak, written from patched data, is renamed to same.pak, which an earlier same-file pair
    // already made: the engine must not open that entry again, as it is linked to the old install's file.
    DirDiff diff = DirDiffWriter::build(sources.filePath("1.0"), sources.filePath("1.1"));
    const qsizetype same = diff.newPaths.indexOf("Pelwinter/Content/same.pak");
    const qsizetype zone = diff.newPaths.indexOf("Pelwinter/Content/zone.pak");
    QVERIFY(same > 0 && zone > same);
    diff.newPaths[zone] = diff.newPaths[same];
    diff.updateHead();
    installVersion("1.0");
    publish("1.1", {{"1.0", diff.toBytes()}});
    const QMap<QString, struct stat> old = filesBelow(swapDir());

    const LauncherSandbox::Result run = runLauncher();

    QVERIFY2(run.out.contains("Failed to apply patch 1!"), run.out.right(1500).constData());
    QCOMPARE(differenceFrom(road->installDir(), "1.0"), QString());
    const QMap<QString, struct stat> now = filesBelow(swapDir());
    for (auto it = old.cbegin(); it != old.cend(); ++it) {
        QCOMPARE(now[it.key()].st_ino, it->st_ino);
        QCOMPARE(now[it.key()].st_nlink, nlink_t(1));
    }
    QVERIFY(!QFileInfo::exists(swapDir() + "_new"));
}

void TestLauncherLinkedStaging::unwrittenReceiptOfTheNewInstallStopsTheSwap_data()
{
    QTest::addColumn<bool>("linked");
    QTest::newRow("install folder") << false;
    // the likelier case: the receipt stays on the home disk while the game lives on another
    QTest::newRow("linked install") << true;
}

// The receipt of the new install, with the records of the files the patch keeps, is written before the
// swap. When that fails (the receipt's disk is full), the swap must not happen: a run cut short after it
// would find the receipt naming 1.0 with the records of its files, and 1.1's b.bin, which is 1.0's a.bin
// with the size and time of 1.0's b.bin, would pass as 1.0's b.bin.
void TestLauncherLinkedStaging::unwrittenReceiptOfTheNewInstallStopsTheSwap()
{
    QFETCH(bool, linked);
    if (linked) {
        elsewhere = std::make_unique<QTemporaryDir>();
        QVERIFY(elsewhere->isValid());
        linkInstallInto(elsewhere->path());
    }
    installVersion("1.0");
    publish("1.0", patches);
    const LauncherSandbox::Result upToDate = runLauncher();
    QVERIFY2(upToDate.out.endsWith(doneLine), upToDate.out.right(1500).constData());
    const QByteArray receipt = readFile(road->receiptPath());
    QCOMPARE(road->readReceipt().value("gameFiles").toArray().size(), 8); // every file of 1.0
    QVERIFY(road->gameStarted()); // the detached game may write its record after the launcher ended
    QVERIFY(QFile::remove(road->gameRecord()));

    publish("1.1", patches);
    const LauncherSandbox::Result refused = runLauncher({{"PELWINTER_FAULT_WRITE_PATH", road->receiptPath()}});
    QVERIFY2(refused.finished, refused.out.right(1500).constData());
    QVERIFY2(refused.out.endsWith("\x1b[1;37;41mUpdate Failed!\x1b[0m \x1b[1;31mFailed to apply patch 1!\x1b[0m\n"),
             refused.out.right(1500).constData());
    const QStringList log = road->logMessages();
    QCOMPARE(log.count("Failed to write install receipt."), 1);
    QVERIFY(!log.contains("Removing old install."));
    QCOMPARE(differenceFrom(swapDir(), "1.0"), QString());
    QCOMPARE(readFile(road->receiptPath()), receipt);
    QVERIFY(!QFileInfo::exists(swapDir() + "_new"));
    QVERIFY(!QFileInfo::exists(swapDir() + "_new_new"));
    QStringList installs = QDir(road->installsDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    QCOMPARE(installs, (QStringList{"main", "main.json"}));
    QVERIFY(!road->gameStarted(500));

    // With room again, the next run updates and starts 1.1.
    const LauncherSandbox::Result run = runLauncher();
    QVERIFY2(run.out.endsWith(doneLine), run.out.right(1500).constData());
    QCOMPARE(differenceFrom(swapDir(), "1.1"), QString());
    QCOMPARE(road->readReceipt().value("version"), QJsonValue("1.1"));
    QVERIFY(road->gameStarted());
}

QTEST_GUILESS_MAIN(TestLauncherLinkedStaging)
#include "TestLauncherLinkedStaging.moc"
