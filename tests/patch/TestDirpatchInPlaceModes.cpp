// The folders of a tree that dirpatch -f patches onto itself: each keeps its mode and group (a private
// folder stays private, the tree's setgid folder its bit and group, and what is made in it gets that
// group), new folders are made as the plain road makes them, and read-only or unreadable folders of the
// user's own are patched like any other, with nothing left beside the tree that refuses the next run.

#include "support/DirDiffWriter.h"
#include "support/DirpatchProcess.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/RandomBytes.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using Entries = FileTree::Entries;

// The user the unprivileged rows run as (the one unprivilegedPrefix runs as), owner of their trees.
const uid_t kUser = 65534;

using Outcome = ProcessResult;

// dirpatch with args, as kUser when prefix holds the command that drops privileges.
Outcome patchRun(const QStringList& prefix, const QStringList& args)
{
    return runProcess(prefix + QStringList{DIRPATCH_BINARY} + args);
}

// Mode (all bits, octal) and group of root and of every folder below it, by path relative to root
// ("" for root): the folder modes a run must keep. Read as root, which sees into unreadable folders.
QMap<QString, QString> folderModes(const QString& root)
{
    QMap<QString, QString> found;
    QStringList paths{root};
    QDirIterator it(root, QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    for (const QString& path : paths) {
        struct stat info;
        if (lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode))
            found.insert(path.mid(root.size() + 1),
                         QString::number(info.st_mode & 07777, 8) + " group " + QString::number(info.st_gid));
    }
    return found;
}

struct stat statOf(const QString& path)
{
    struct stat info = {};
    lstat(QFile::encodeName(path).constData(), &info);
    return info;
}

bool setMode(const QString& path, mode_t mode)
{
    return chmod(QFile::encodeName(path).constData(), mode) == 0;
}

mode_t umaskNow()
{
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}
} // namespace

class TestDirpatchInPlaceModes : public QObject
{
    Q_OBJECT

private slots:
    void privateAndSetgidFoldersKept();
    void groupTheUserMayNotGiveNoted();
    void foldersTheUserMayNotWriteOrRead_data();
    void foldersTheUserMayNotWriteOrRead();
    void asideWithClosedFoldersRemovedByTheNextRun();
    void killedWhileFoldersOpenedThenRunAgain_data();
    void killedWhileFoldersOpenedThenRunAgain();
    void folderPutInPlaceOfAnOpenedOneKeepsItsMode();
    void filesWrittenInASetgidFolderGetItsGroup_data();
    void filesWrittenInASetgidFolderGetItsGroup();
};

// R is setgid with a group not the running user's, holds a private folder the diff knows and one it
// doesn't: all keep their modes and groups, and what the patch makes gets R's group.
void TestDirpatchInPlaceModes::privateAndSetgidFoldersKept()
{
    if (getuid() != 0)
        QSKIP("needs root to give the tree a group of another user");
    const gid_t group = 65534;
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("trees/game");
    const Entries oldTree{{"a.bin", FileTree::file(randomBytes(4000, 1))},
                          {"private/", FileTree::dir()},
                          {"private/key", FileTree::file("secret")},
                          {"private/old", FileTree::file(randomBytes(3000, 2))}};
    Entries newTree = oldTree;
    newTree.insert("a.bin", FileTree::file(randomBytes(4000, 1) + "changed"));
    newTree.insert("private/old", FileTree::file(randomBytes(3000, 2) + "changed"));
    newTree.insert("fresh/", FileTree::dir());
    newTree.insert("fresh/n", FileTree::file("new"));
    QVERIFY(FileTree::write(oldDir, oldTree));
    QVERIFY(FileTree::write(sandbox.filePath("wanted"), newTree));
    QVERIFY(DirDiffWriter::build(oldDir, sandbox.filePath("wanted")).save(sandbox.filePath("p.diff")));
    QVERIFY(writeFile(oldDir + "/mine/notes", "not the diff's"));
    QVERIFY(chown(QFile::encodeName(oldDir).constData(), (uid_t)-1, group) == 0);
    QVERIFY(chown(QFile::encodeName(oldDir + "/private").constData(), (uid_t)-1, group) == 0);
    QVERIFY(setMode(oldDir, 02755));
    QVERIFY(setMode(oldDir + "/private", 02700));
    QVERIFY(setMode(oldDir + "/mine", 0750));
    QMap<QString, QString> expected = folderModes(oldDir);
    // as the plain road makes it in a setgid folder: the folder's bit and group passed on
    expected.insert("fresh", QString::number(02000 | (0755 & ~umaskNow()), 8) + " group " + QString::number(group));

    const Outcome result = patchRun({}, {"-f", oldDir, sandbox.filePath("p.diff"), oldDir});
    QVERIFY2(result.code == 0, result.err.constData());
    Entries wanted = newTree;
    wanted.insert("mine/", FileTree::dir());
    wanted.insert("mine/notes", FileTree::file("not the diff's"));
    QCOMPARE(FileTree::read(oldDir), wanted);
    QCOMPARE(folderModes(oldDir), expected);
    QCOMPARE(statOf(oldDir + "/a.bin").st_gid, group);
    QCOMPARE(statOf(oldDir + "/fresh/n").st_gid, group);
    QCOMPARE(entriesIn(sandbox.filePath("trees")), QStringList{"game"});
}

// R of the user's own but of a group the user is not in: the new tree can't have that group, which a line
// says, and the patch goes on with the user's group and R's mode.
void TestDirpatchInPlaceModes::groupTheUserMayNotGiveNoted()
{
    QString whyNot;
    const QStringList user = unprivilegedPrefix(&whyNot);
    if (user.isEmpty())
        QSKIP(qPrintable(whyNot));
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("trees/game");
    QVERIFY(FileTree::write(oldDir, {{"a", FileTree::file("old a")}}));
    QVERIFY(FileTree::write(sandbox.filePath("wanted"), {{"a", FileTree::file("new a")}}));
    QVERIFY(DirDiffWriter::build(oldDir, sandbox.filePath("wanted")).save(sandbox.filePath("p.diff")));
    QVERIFY(QProcess::execute("chown", {"-R", QString("%1:%1").arg(kUser), sandbox.path()}) == 0);
    QVERIFY(setMode(sandbox.path(), 0755));
    QVERIFY(chown(QFile::encodeName(oldDir).constData(), kUser, 0) == 0);
    QVERIFY(setMode(oldDir, 02775));

    const Outcome result = patchRun(user, {"-f", oldDir, sandbox.filePath("p.diff"), oldDir});
    QVERIFY2(result.code == 0, result.err.constData());
    QVERIFY2(result.out.contains("WARNING: can't give the new tree the old folder's group \"" +
                                 QFile::encodeName(oldDir) + ".dirpatch-new\"\n"),
             result.out.constData());
    QCOMPARE(FileTree::read(oldDir), FileTree::read(sandbox.filePath("wanted")));
    QCOMPARE(folderModes(oldDir).value(""), "2775 group " + QString::number(kUser));
    QCOMPARE(entriesIn(sandbox.filePath("trees")), QStringList{"game"});
}

void TestDirpatchInPlaceModes::foldersTheUserMayNotWriteOrRead_data()
{
    QTest::addColumn<QString>("folder"); // relative to the tree; "" is the tree itself
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("corrupt"); // the diff's last section cut short
    // lib/ is the diff's, with unchanged, changed and deeper files; saves/ is not
    QTest::newRow("read-only folder the diff knows") << "lib" << 0555 << false;
    QTest::newRow("read-only folder the diff doesn't know") << "saves" << 0555 << false;
    QTest::newRow("unreadable folder the diff knows") << "lib" << 0 << false;
    QTest::newRow("unreadable folder the diff doesn't know") << "saves" << 0 << false;
    QTest::newRow("unreadable folder in an unreadable one") << "lib/deep lib" << 0 << false;
    QTest::newRow("the tree itself read-only") << "" << 0555 << false;
    QTest::newRow("the tree itself unreadable") << "lib " << 0 << false;
    QTest::newRow("diff corrupt, unreadable folders") << "lib saves" << 0 << true;
    QTest::newRow("diff corrupt, read-only folders") << "lib saves" << 0555 << true;
}

// A tree of kUser's with lib/, a folder the diff knows (unchanged, changed and deeper files), and saves/,
// one it doesn't, its diff, and the tree the patch must make of it; the folders named are then given mode.
struct ClosedFoldersTree
{
    QTemporaryDir sandbox;
    QString parent = sandbox.filePath("trees");
    QString oldDir = parent + "/game";
    QString diffPath = sandbox.filePath("p.diff");
    Entries wanted;
    QMap<QString, QString> foldersBefore;
    Entries before;

    bool make(const QString& closed, mode_t mode, bool corrupt)
    {
        QList<QPair<QString, mode_t>> folders;
        for (const QString& name : closed.split(' '))
            folders.append({name, mode});
        return make(folders, corrupt);
    }

    // Each folder named is given its mode, in the order given.
    bool make(const QList<QPair<QString, mode_t>>& closed, bool corrupt)
    {
        const Entries oldTree{{"a.bin", FileTree::file(randomBytes(6000, 4))},
                              {"lib/", FileTree::dir()},
                              {"lib/same.bin", FileTree::file(randomBytes(30000, 3))},
                              {"lib/code.bin", FileTree::file(randomBytes(8000, 5))},
                              {"lib/deep/", FileTree::dir()},
                              {"lib/deep/x", FileTree::file("deep, unchanged")}};
        Entries newTree = oldTree;
        newTree.insert("a.bin", FileTree::file(randomBytes(6000, 4) + "changed"));
        newTree.insert("lib/code.bin", FileTree::file("v2" + randomBytes(8000, 5)));
        newTree.insert("lib/new.txt", FileTree::file("new in lib"));
        newTree.insert("zz/", FileTree::dir());
        newTree.insert("zz/last.bin", FileTree::file(randomBytes(50000, 6)));
        const Entries strays{{"saves/", FileTree::dir()},
                             {"saves/slot1", FileTree::file("progress")},
                             {"saves/inner/", FileTree::dir()},
                             {"saves/inner/slot2", FileTree::file("more progress")},
                             {"saves/% odd\nname/", FileTree::dir()},
                             {"saves/% odd\nname/slot3", FileTree::file("named oddly")},
                             {"lib/mine.txt", FileTree::file("the user's, in the diff's folder")}};
        if (!FileTree::write(oldDir, oldTree) || !FileTree::write(sandbox.filePath("wanted"), newTree))
            return false;
        DirDiff diff = DirDiffWriter::build(oldDir, sandbox.filePath("wanted"));
        if (corrupt) {
            diff.cdiff.chop(1); // every file is made but the last one
            diff.updateHead();
        }
        if (!diff.save(diffPath) || !FileTree::write(oldDir, strays))
            return false;
        wanted = newTree;
        for (auto entry = strays.begin(); entry != strays.end(); ++entry)
            wanted.insert(entry.key(), entry.value());
        if (QProcess::execute("chown", {"-R", QString("%1:%1").arg(kUser), sandbox.path()}) != 0 ||
            !setMode(sandbox.path(), 0755))
            return false;
        // deepest first: a folder closed to its owner hides what it holds from chmod too
        for (const auto& [name, mode] : closed) {
            if (!setMode(name.isEmpty() ? oldDir : oldDir + "/" + name, mode))
                return false;
        }
        foldersBefore = folderModes(oldDir);
        before = FileTree::read(oldDir);
        return true;
    }

    QStringList args() const { return {"-f", oldDir, diffPath, oldDir}; }

    // Starts the patch as user (a prefix of unprivilegedPrefix), held right before the count-th operation
    // at holdPoint; true once it stands there.
    bool startHeldRun(QProcess& run, const QStringList& user, const QString& holdPoint, int count)
    {
        // setpriv would take the fault module for itself; env hands it on to dirpatch alone
        return startHeld(run,
                         user + QStringList{"env"} + holdAt(holdPoint, count, holdFile()) +
                             QStringList{DIRPATCH_BINARY} + args(),
                         {}, holdFile());
    }

    bool killHeldRun(QProcess& run)
    {
        run.kill();
        return run.waitForFinished() && QFile::remove(holdFile());
    }

    QString holdFile() const { return sandbox.filePath("hold"); }

    // The folders as the patch must leave them: as they were, and the new one as the plain road makes it.
    QMap<QString, QString> foldersWanted() const
    {
        QMap<QString, QString> modes = foldersBefore;
        modes.insert("zz", QString::number(0755 & ~umaskNow(), 8) + " group " + QString::number(kUser));
        return modes;
    }
};

// As the tree's owner, not root: the new tree with every folder's mode, or after a failure the old tree
// as it was; either way nothing beside it, so that nothing refuses the next run.
void TestDirpatchInPlaceModes::foldersTheUserMayNotWriteOrRead()
{
    QFETCH(QString, folder);
    QFETCH(int, mode);
    QFETCH(bool, corrupt);
    QString whyNot;
    const QStringList user = unprivilegedPrefix(&whyNot);
    if (user.isEmpty())
        QSKIP(qPrintable(whyNot));
    ClosedFoldersTree tree;
    QVERIFY(tree.make(folder, mode_t(mode), corrupt));

    const Outcome result = patchRun(user, {"-f", tree.oldDir, tree.diffPath, tree.oldDir});
    QCOMPARE(entriesIn(tree.parent), QStringList{"game"});
    if (corrupt) {
        QCOMPARE(result.code, 108);
        QVERIFY2(result.err.contains("dir patch run ERROR!\n"), result.err.constData());
        QCOMPARE(FileTree::read(tree.oldDir), tree.before);
        QCOMPARE(folderModes(tree.oldDir), tree.foldersBefore);
        return;
    }
    QVERIFY2(result.code == 0, result.err.constData());
    QCOMPARE(FileTree::read(tree.oldDir), tree.wanted);
    QCOMPARE(folderModes(tree.oldDir), tree.foldersWanted());
}

// A run killed once the new tree is in place leaves the old one aside, its folders closed to their owner;
// the next run removes it all the same.
void TestDirpatchInPlaceModes::asideWithClosedFoldersRemovedByTheNextRun()
{
    QString whyNot;
    const QStringList user = unprivilegedPrefix(&whyNot);
    if (user.isEmpty())
        QSKIP(qPrintable(whyNot));
    ClosedFoldersTree tree;
    QVERIFY(tree.make("lib/deep lib saves", 0, false));
    // setpriv would take the fault module for itself; env hands it on to dirpatch alone
    const QStringList faults = QStringList{"env"} + withFaults({"PELWINTER_FAULT_KILL_AT_PATH=unlink:.dirpatch-old"});
    const QStringList args{"-f", tree.oldDir, tree.diffPath, tree.oldDir};

    const Outcome killed = patchRun(user + faults, args);
    QCOMPARE(killed.code, -2);
    QCOMPARE(entriesIn(tree.parent), (QStringList{"game", "game.dirpatch-old", "game.dirpatch-swap"}));
    const Outcome again = patchRun(user, args);
    QVERIFY2(again.code == 0, again.err.constData());
    QCOMPARE(entriesIn(tree.parent), QStringList{"game"});
    QCOMPARE(FileTree::read(tree.oldDir), tree.wanted);
    QCOMPARE(folderModes(tree.oldDir), tree.foldersWanted());
}

void TestDirpatchInPlaceModes::killedWhileFoldersOpenedThenRunAgain_data()
{
    QTest::addColumn<QStringList>("unreadable"); // given mode 000 in this order; "" is the tree itself
    QTest::addColumn<QString>("readOnly");       // given mode 0555
    QTest::addColumn<QString>("holdPoint");      // where the run stands when it is killed
    QTest::addColumn<int>("holdCount");
    QTest::addColumn<bool>("opened"); // the unreadable folders are opened to the run then
    QTest::newRow("before the new tree is made") << QStringList{"lib"} << "saves"
                                                 << "mkdir:.dirpatch-new" << 1 << true;
    QTest::newRow("while the patch writes the new tree") << QStringList{"lib"} << "saves"
                                                         << "open:.dirpatch-new" << 3 << true;
    QTest::newRow("while what the diff doesn't know is carried") << QStringList{"saves/inner"} << "lib"
                                                                 << "link:.dirpatch-new/saves" << 1 << true;
    QTest::newRow("the tree itself unreadable") << QStringList{""} << "saves"
                                                << "open:.dirpatch-new" << 3 << true;
    QTest::newRow("a folder named with a space, a newline and %") << QStringList{"saves/% odd\nname"} << "saves"
                                                                  << "open:.dirpatch-new" << 3 << true;
    // the folder in the tree can't be reached once the tree is closed again
    QTest::newRow("given back, the new tree not yet swapped in") << QStringList{"lib", ""} << "saves"
                                                                 << "rename:.dirpatch-build" << 1 << false;
}

// A run of the tree's owner killed while it has the tree's unreadable folders opened to itself, then the
// same command again: every folder has its mode, none the one the killed run opened it to.
void TestDirpatchInPlaceModes::killedWhileFoldersOpenedThenRunAgain()
{
    QFETCH(QStringList, unreadable);
    QFETCH(QString, readOnly);
    QFETCH(QString, holdPoint);
    QFETCH(int, holdCount);
    QFETCH(bool, opened);
    QString whyNot;
    const QStringList user = unprivilegedPrefix(&whyNot);
    if (user.isEmpty())
        QSKIP(qPrintable(whyNot));
    ClosedFoldersTree tree;
    QList<QPair<QString, mode_t>> closed{{readOnly, 0555}};
    for (const QString& name : unreadable)
        closed.append({name, 0});
    QVERIFY(tree.make(closed, false));

    QProcess killed;
    QVERIFY(tree.startHeldRun(killed, user, holdPoint, holdCount));
    QCOMPARE(folderModes(tree.oldDir) != tree.foldersBefore, opened);
    QVERIFY(tree.killHeldRun(killed));
    const Outcome again = patchRun(user, tree.args());
    QVERIFY2(again.code == 0, again.err.constData());
    QCOMPARE(entriesIn(tree.parent), QStringList{"game"});
    QCOMPARE(FileTree::read(tree.oldDir), tree.wanted);
    QCOMPARE(folderModes(tree.oldDir), tree.foldersWanted());
}

// After the kill, the user puts a folder of their own where the run had opened one: the next run gives the
// opened folder's mode to no other folder.
void TestDirpatchInPlaceModes::folderPutInPlaceOfAnOpenedOneKeepsItsMode()
{
    QString whyNot;
    const QStringList user = unprivilegedPrefix(&whyNot);
    if (user.isEmpty())
        QSKIP(qPrintable(whyNot));
    ClosedFoldersTree tree;
    QVERIFY(tree.make("saves", 0, false));
    QProcess killed;
    QVERIFY(tree.startHeldRun(killed, user, "open:.dirpatch-new", 3));
    QVERIFY(tree.killHeldRun(killed));
    const QString saves = tree.oldDir + "/saves";
    QVERIFY(QDir(saves).removeRecursively());
    QVERIFY(writeFile(saves + "/mine", "the user's new saves"));
    QVERIFY(QProcess::execute("chown", {"-R", QString("%1:%1").arg(kUser), saves}) == 0);
    QVERIFY(setMode(saves, 0700));

    const Outcome again = patchRun(user, tree.args());
    QVERIFY2(again.code == 0, again.err.constData());
    QCOMPARE(folderModes(tree.oldDir).value("saves"), "700 group " + QString::number(kUser));
    QCOMPARE(readFile(saves + "/mine"), QByteArray("the user's new saves"));
}

void TestDirpatchInPlaceModes::filesWrittenInASetgidFolderGetItsGroup_data()
{
    QTest::addColumn<bool>("unprivileged"); // as the tree's owner, a member of the groups below; else as root
    QTest::addColumn<bool>("setgidTree");   // the tree itself setgid, with a group of its own
    QTest::newRow("as root") << false << false;
    QTest::newRow("as root, the tree setgid with another group") << false << true;
    QTest::newRow("as a member of the folder's group") << true << false;
    QTest::newRow("as a member, the tree setgid with another group") << true << true;
}

// data/ is setgid with a group that is neither the tree's nor the user's, plain/ has no setgid bit: what the
// patch writes in data/ (changed and new files, a copy, a file in a new folder) gets data/'s group, what it
// writes in plain/ the user's, as files made there by hand would.
void TestDirpatchInPlaceModes::filesWrittenInASetgidFolderGetItsGroup()
{
    QFETCH(bool, unprivileged);
    QFETCH(bool, setgidTree);
    const gid_t folderGroup = 4242;
    const gid_t treeGroup = 4243;
    QString whyNot;
    const QStringList user = unprivileged ? unprivilegedPrefix(&whyNot, "4242,4243") : QStringList();
    if (getuid() != 0 || (unprivileged && user.isEmpty()))
        QSKIP(qPrintable(whyNot.isEmpty() ? "needs root to give folders groups of their own" : whyNot));
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("trees/game");
    const Entries oldTree{{"data/", FileTree::dir()},
                          {"data/changed.bin", FileTree::file(randomBytes(5000, 1))},
                          {"data/same.bin", FileTree::file(randomBytes(3000, 2))},
                          {"plain/", FileTree::dir()},
                          {"plain/changed.bin", FileTree::file(randomBytes(4000, 3))}};
    Entries newTree = oldTree;
    newTree.insert("data/changed.bin", FileTree::file(randomBytes(5000, 1) + "changed"));
    newTree.insert("data/same.bin", FileTree::file(randomBytes(3000, 2), true)); // copied, for its new mode
    newTree.insert("data/new.bin", FileTree::file("new in data"));
    newTree.insert("data/inner/", FileTree::dir());
    newTree.insert("data/inner/n", FileTree::file("new in a new folder"));
    newTree.insert("plain/changed.bin", FileTree::file(randomBytes(4000, 3) + "changed"));
    newTree.insert("plain/new.bin", FileTree::file("new in plain"));
    QVERIFY(FileTree::write(oldDir, oldTree));
    QVERIFY(FileTree::write(sandbox.filePath("wanted"), newTree));
    QVERIFY(DirDiffWriter::build(oldDir, sandbox.filePath("wanted")).save(sandbox.filePath("p.diff")));
    const uid_t owner = unprivileged ? kUser : 0;
    const gid_t userGroup = unprivileged ? kUser : 0;
    if (unprivileged) {
        QVERIFY(QProcess::execute("chown", {"-R", QString("%1:%1").arg(kUser), sandbox.path()}) == 0);
        QVERIFY(setMode(sandbox.path(), 0755));
    }
    QVERIFY(chown(QFile::encodeName(oldDir).constData(), owner, setgidTree ? treeGroup : userGroup) == 0);
    QVERIFY(chown(QFile::encodeName(oldDir + "/data").constData(), owner, folderGroup) == 0);
    QVERIFY(setMode(oldDir, setgidTree ? 02755 : 0755));
    QVERIFY(setMode(oldDir + "/data", 02775));
    QVERIFY(setMode(oldDir + "/plain", 0755));

    const Outcome result = patchRun(user, {"-f", oldDir, sandbox.filePath("p.diff"), oldDir});
    QVERIFY2(result.code == 0, result.err.constData());
    QCOMPARE(FileTree::read(oldDir), newTree);
    const QMap<QString, gid_t> wanted{{"data", folderGroup},
                                      {"data/changed.bin", folderGroup},
                                      {"data/same.bin", folderGroup},
                                      {"data/new.bin", folderGroup},
                                      {"data/inner", folderGroup},
                                      {"data/inner/n", folderGroup},
                                      {"plain/changed.bin", userGroup},
                                      {"plain/new.bin", userGroup}};
    QMap<QString, gid_t> groups;
    for (auto entry = wanted.begin(); entry != wanted.end(); ++entry)
        groups.insert(entry.key(), statOf(oldDir + "/" + entry.key()).st_gid);
    QCOMPARE(groups, wanted);
    QCOMPARE(statOf(oldDir + "/data").st_mode & 07777, mode_t(02775));
}

QTEST_GUILESS_MAIN(TestDirpatchInPlaceModes)
#include "TestDirpatchInPlaceModes.moc"
