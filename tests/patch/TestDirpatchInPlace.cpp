// dirpatch -f patching a directory onto itself, run as a real process: a failure anywhere leaves the old
// tree exactly as it was with nothing beside it, a kill at any moment is finished by running the same
// command again, modes follow the diff, and the old path may be a link or ".".

#include "support/DirDiffWriter.h"
#include "support/DirpatchProcess.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/RandomBytes.h"
#include "support/ScratchMount.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using Entries = FileTree::Entries;

using Result = ProcessResult;

QStringList killAt(const QString& killPoint, int count = 1)
{
    return withFaults(
        {"PELWINTER_FAULT_KILL_AT_PATH=" + killPoint, "PELWINTER_FAULT_KILL_AT_PATH_COUNT=" + QString::number(count)});
}

// The command run as the unprivileged user 65534; none, with the reason, where that can't be done here.
// command as the unprivileged user, or nothing, with why not, where it can't be run so.
QStringList asUnprivileged(const QStringList& command, QString* whyNot)
{
    const QStringList prefix = unprivilegedPrefix(whyNot);
    return prefix.isEmpty() ? QStringList() : prefix + command;
}

// Everything below root as lstat shows it: kind, all mode bits, and the bytes of a file or a link's target.
QMap<QString, QString> snapshot(const QString& root)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat info;
        if (lstat(QFile::encodeName(path).constData(), &info) != 0)
            continue;
        QString value = QString::number(info.st_mode, 8);
        if (S_ISREG(info.st_mode)) {
            QFile file(path);
            value += " " + (file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().toHex()) : "?");
        } else if (S_ISLNK(info.st_mode)) {
            char target[4096];
            const ssize_t length = readlink(QFile::encodeName(path).constData(), target, sizeof(target));
            value += " -> " + QString::fromUtf8(target, length > 0 ? length : 0);
        }
        entries.insert(path.mid(root.size()), value);
    }
    return entries;
}

mode_t modeOf(const QString& path)
{
    struct stat info;
    return lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

bool copyTree(const QString& from, const QString& to)
{
    return runProcess({"cp", "-a", from, to}).code == 0;
}

// A sandbox holding trees/game, a tree of a few folders and files, and p.diff to its new tree: changed,
// unchanged, new, removed and executable files.
struct SmallTrees
{
    QTemporaryDir sandbox;
    QString parent = sandbox.filePath("trees");
    QString oldDir = parent + "/game";
    QString diffPath = sandbox.filePath("p.diff");
    Entries wanted;

    SmallTrees()
    {
        Entries oldTree;
        Entries newTree;
        for (int d = 0; d < 3; ++d) {
            const QString dir = QString("d%1/").arg(d);
            oldTree.insert(dir, FileTree::dir());
            newTree.insert(dir, FileTree::dir());
            for (int f = 0; f < 8; ++f) {
                const int n = d * 8 + f;
                const QString name = dir + QString("f%1").arg(f);
                const QByteArray content = randomBytes(100 + n * 10, quint32(n + 1));
                oldTree.insert(name, FileTree::file(content));
                if (n % 3 == 0)
                    newTree.insert(name, FileTree::file(content + "changed", n % 2 == 0));
                else if (n != 7)
                    newTree.insert(name, FileTree::file(content));
            }
        }
        newTree.insert("new/", FileTree::dir());
        newTree.insert("new/n", FileTree::file(randomBytes(5000, 99)));
        if (sandbox.isValid() && FileTree::write(oldDir, oldTree) &&
            FileTree::write(sandbox.filePath("wanted"), newTree) &&
            DirDiffWriter::build(oldDir, sandbox.filePath("wanted")).save(diffPath))
            wanted = newTree;
    }
    bool isValid() const { return !wanted.isEmpty(); }
    QStringList args() const { return {"-f", oldDir, diffPath, oldDir}; }
};

// A tree of thousands of small files in many folders, and the tree a patch makes of it: some files
// changed, a few new, a few gone, the rest unchanged.
void writeLargeTrees(const QString& oldRoot, const QString& newRoot)
{
    Entries oldTree;
    Entries newTree;
    for (int d = 0; d < 40; ++d) {
        const QString dir = QString("d%1/").arg(d, 2, 10, QChar('0'));
        oldTree.insert(dir, FileTree::dir());
        newTree.insert(dir, FileTree::dir());
        for (int f = 0; f < 60; ++f) {
            const int n = d * 60 + f;
            const QString name = dir + QString("f%1").arg(f);
            const QByteArray content = randomBytes(64 + n % 200, quint32(n + 1));
            oldTree.insert(name, FileTree::file(content));
            if (n % 11 == 0)
                newTree.insert(name, FileTree::file(content + "changed"));
            else if (n % 97 != 5)
                newTree.insert(name, FileTree::file(content, n % 13 == 0));
        }
    }
    newTree.insert("new/", FileTree::dir());
    newTree.insert("new/big.bin", FileTree::file(randomBytes(300 * 1024, 7)));
    FileTree::write(oldRoot, oldTree);
    FileTree::write(newRoot, newTree);
}
} // namespace

class TestDirpatchInPlace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void failuresLeaveOldTree_data();
    void failuresLeaveOldTree();
    void killedRunFinishedByTheNextRun_data();
    void killedRunFinishedByTheNextRun();
    void killedRunThenTheNextDiff();
    void leftoversOfAnotherKindRefused();
    void entriesTheDiffDoesNotKnowAreKept();
    void modes();
    void oldPathSpelledAsLinkOrDot_data();
    void oldPathSpelledAsLinkOrDot();
    void fullDiskNamesFileAndError_data();
    void fullDiskNamesFileAndError();
    void unchangedFileNotRegularRefused_data();
    void unchangedFileNotRegularRefused();
    void secondRunRefusedWhileTheFirstWorks_data();
    void secondRunRefusedWhileTheFirstWorks();
    void recoveryActsOnlyOnWhatItChecked_data();
    void recoveryActsOnlyOnWhatItChecked();
    void asideThatCannotBeRemovedIsRetried();
    void asideHoldingAMountIsLeftWhole();
    void parentOthersMayWriteRefused_data();
    void parentOthersMayWriteRefused();
    void parentThatCannotBeLockedIsSaid();
    void linkAtTrustedNameBetweenStepsRefused_data();
    void linkAtTrustedNameBetweenStepsRefused();
    void linkPutInOldTreeWhilePatchingRefused_data();
    void linkPutInOldTreeWhilePatchingRefused();

private:
    // The large trees and their diff, made once and copied for each kill
    QTemporaryDir largeTrees;
    Entries largeWanted;
};

void TestDirpatchInPlace::initTestCase()
{
    QVERIFY(largeTrees.isValid());
    writeLargeTrees(largeTrees.filePath("game"), largeTrees.filePath("wanted"));
    QVERIFY(DirDiffWriter::build(largeTrees.filePath("game"), largeTrees.filePath("wanted"))
                .save(largeTrees.filePath("p.diff")));
    largeWanted = FileTree::read(largeTrees.filePath("wanted"));
}

void TestDirpatchInPlace::failuresLeaveOldTree_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("stray file where a folder goes")
        << "stray" << 115 << QByteArray("can't keep the old file where the new tree has a folder \"");
    QTest::newRow("missing unchanged file") << "missing" << 108 << QByteArray("No such file or directory\n");
    QTest::newRow("full small tmpfs") << "full" << 108 << QByteArray(": No space left on device\n");
    QTest::newRow("diff corrupt in its last section") << "corrupt" << 108 << QByteArray("dir patch run ERROR!\n");
    QTest::newRow("permission refused, unprivileged user")
        << "permission" << 108 << QByteArray(": Permission denied\n");
}

void TestDirpatchInPlace::failuresLeaveOldTree()
{
    QFETCH(QString, failure);
    QFETCH(int, code);
    QFETCH(QByteArray, error);
    QTemporaryDir sandbox;
    std::unique_ptr<ScratchMount> mount;
    QString parent = sandbox.filePath("trees");
    QVERIFY(QDir().mkpath(parent));
    if (failure == "full") {
        mount = std::make_unique<ScratchMount>(ScratchMount::Tmpfs, 1024 * 1024);
        if (!mount->isMounted())
            QSKIP(qPrintable("no tmpfs for the full-disk row: " + mount->whyNot()));
        parent = mount->path();
    }
    const QString oldDir = parent + "/game";
    const QString diffPath = sandbox.filePath("p.diff");
    Entries oldTree{{"a.bin", FileTree::file(randomBytes(20000, 1))},
                    {"same.txt", FileTree::file("unchanged text")},
                    {"tool", FileTree::file("#!/bin/sh\n", true)},
                    {"sub/", FileTree::dir()},
                    {"sub/private", FileTree::file("private bytes")}};
    Entries newTree = oldTree;
    QByteArray a = randomBytes(20000, 1);
    a.replace(100, 8, "CHANGED!");
    newTree.insert("a.bin", FileTree::file(a));
    newTree.insert("fresh/", FileTree::dir());
    newTree.insert("fresh/big.bin", FileTree::file(randomBytes(failure == "full" ? 2 * 1024 * 1024 : 300 * 1024, 3)));
    QVERIFY(FileTree::write(oldDir, oldTree));
    QVERIFY(FileTree::write(sandbox.filePath("wanted"), newTree));
    DirDiff diff = DirDiffWriter::build(oldDir, sandbox.filePath("wanted"));
    if (failure == "corrupt") {
        diff.cdiff.chop(1); // every file is made but the last one
        diff.updateHead();
    }
    QVERIFY(diff.save(diffPath));
    QVERIFY(chmod(QFile::encodeName(oldDir + "/sub/private").constData(), 0600) == 0);
    if (failure == "stray")
        QVERIFY(writeFile(oldDir + "/fresh", "a file the diff doesn't know"));
    if (failure == "missing")
        QVERIFY(QFile::remove(oldDir + "/same.txt"));

    QStringList command{DIRPATCH_BINARY, "-f", oldDir, diffPath, oldDir};
    if (failure == "permission") {
        QString whyNot;
        command = asUnprivileged(command, &whyNot);
        if (command.isEmpty())
            QSKIP(qPrintable(whyNot));
        // the user owns the tree but for one unchanged file it may not read
        QVERIFY(runProcess({"chown", "-R", "65534:65534", sandbox.path()}).code == 0);
        QVERIFY(chown(QFile::encodeName(oldDir + "/sub/private").constData(), 0, 0) == 0);
        QVERIFY(chmod(QFile::encodeName(sandbox.path()).constData(), 0755) == 0);
    }
    const QMap<QString, QString> before = snapshot(oldDir);
    const QStringList besideBefore = entriesIn(parent);

    const Result result = runProcess(command);
    QCOMPARE(result.code, code);
    QVERIFY2(result.err.contains(error), result.err.constData());
    QCOMPARE(snapshot(oldDir), before);
    QCOMPARE(entriesIn(parent), besideBefore);
}

void TestDirpatchInPlace::killedRunFinishedByTheNextRun_data()
{
    QTest::addColumn<QString>("killPoint");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("mustDie");
    QTest::newRow("making the first folder") << "mkdir:.dirpatch-new" << 1 << true;
    QTest::newRow("while linking unchanged files") << "link:.dirpatch-new" << 900 << true;
    QTest::newRow("while writing new files") << "open:.dirpatch-new" << 120 << true;
    QTest::newRow("before the swap") << "rename:.dirpatch-build" << 1 << true;
    QTest::newRow("before moving the old tree aside") << "rename:.dirpatch-old" << 1 << true;
    QTest::newRow("between the renames of the swap") << "rename:.dirpatch-new" << 1 << true;
    QTest::newRow("before removing the aside folder") << "unlink:.dirpatch-old" << 1 << true;
    QTest::newRow("while removing the aside folder") << "unlink:.dirpatch-old" << 1200 << true;
    QTest::newRow("removing the aside's last folders") << "rmdir:.dirpatch-old" << 38 << true;
    QTest::newRow("before removing the record") << "unlink:.dirpatch-swap" << 1 << true;
    QRandomGenerator random(23);
    for (int i = 0; i < 4; ++i) {
        const int count = random.bounded(1, 6000);
        QTest::newRow(qPrintable(QString("path operation %1 of the seed").arg(count)))
            << ".dirpatch-" << count << false;
    }
}

// A kill -9 at a chosen step, then the same command once more: the old path ends as the new tree,
// complete, with nothing beside it.
void TestDirpatchInPlace::killedRunFinishedByTheNextRun()
{
    QFETCH(QString, killPoint);
    QFETCH(int, count);
    QFETCH(bool, mustDie);
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("trees/game");
    const QString diffPath = largeTrees.filePath("p.diff");
    QVERIFY(QDir().mkpath(sandbox.filePath("trees")));
    QVERIFY(copyTree(largeTrees.filePath("game"), oldDir));
    const QStringList args{"-f", oldDir, diffPath, oldDir};

    const Result killed = runDirpatch(args, killAt(killPoint, count));
    if (mustDie)
        QVERIFY2(killed.killed, killed.err.constData());
    const Result again = runDirpatch(args);
    QVERIFY2(again.code == 0, again.err.constData());
    QCOMPARE(FileTree::read(oldDir), largeWanted);
    QCOMPARE(entriesIn(sandbox.filePath("trees")), QStringList{"game"});
}

// A swap cut short, then a run with the diff that follows it: the first swap is finished and the second
// diff applied to its result.
void TestDirpatchInPlace::killedRunThenTheNextDiff()
{
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("trees/game");
    QVERIFY(FileTree::write(oldDir, {{"a", FileTree::file(randomBytes(3000, 1))}, {"s", FileTree::file("same")}}));
    const Entries second{{"a", FileTree::file(randomBytes(3000, 1) + "second")}, {"s", FileTree::file("same")}};
    const Entries third{{"a", FileTree::file(randomBytes(3000, 1) + "second, third")}, {"t", FileTree::file("same")}};
    QVERIFY(FileTree::write(sandbox.filePath("second"), second));
    QVERIFY(FileTree::write(sandbox.filePath("third"), third));
    QVERIFY(DirDiffWriter::build(oldDir, sandbox.filePath("second")).save(sandbox.filePath("1.diff")));
    QVERIFY(
        DirDiffWriter::build(sandbox.filePath("second"), sandbox.filePath("third")).save(sandbox.filePath("2.diff")));

    const Result killed =
        runDirpatch({"-f", oldDir, sandbox.filePath("1.diff"), oldDir}, killAt("rename:.dirpatch-new"));
    QVERIFY(killed.killed);
    QVERIFY(!QFileInfo::exists(oldDir));
    const Result next = runDirpatch({"-f", oldDir, sandbox.filePath("2.diff"), oldDir});
    QVERIFY2(next.code == 0, next.err.constData());
    QVERIFY(next.out.contains("NOTE: finished the swap of an earlier in-place run into \"" + oldDir.toUtf8() + "\"\n"));
    QCOMPARE(FileTree::read(oldDir), third);
    QCOMPARE(entriesIn(sandbox.filePath("trees")), QStringList{"game"});
}

// Names of the swap that no record of this patcher explains are someone else's: refused, nothing touched.
void TestDirpatchInPlace::leftoversOfAnotherKindRefused()
{
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    QVERIFY(FileTree::write(oldDir, {{"a", FileTree::file("old a")}}));
    QVERIFY(FileTree::write(sandbox.filePath("wanted"), {{"a", FileTree::file("new a")}}));
    QVERIFY(DirDiffWriter::build(oldDir, sandbox.filePath("wanted")).save(sandbox.filePath("p.diff")));
    QVERIFY(FileTree::write(sandbox.filePath("game.dirpatch-new"), {{"mine", FileTree::file("not the patcher's")}}));
    QVERIFY(writeFile(sandbox.filePath("game.dirpatch-build"), "some notes of my own\n"));
    const QMap<QString, QString> before = snapshot(sandbox.path());
    const Result result = runDirpatch({"-f", oldDir, sandbox.filePath("p.diff"), oldDir});
    QCOMPARE(result.code, 13);
    QVERIFY2(result.err.contains("game.dirpatch-build"), result.err.constData());
    QCOMPARE(snapshot(sandbox.path()), before);
}

// What the old tree holds beyond the diff's old paths (saves, settings, a link of the user's, a file in a
// folder the diff removes) is in the patched tree as it was; a file the diff brings replaces one at its path.
void TestDirpatchInPlace::entriesTheDiffDoesNotKnowAreKept()
{
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    const Entries base{{"a.txt", FileTree::file("old a")},
                       {"keep.txt", FileTree::file("kept")},
                       {"sub/", FileTree::dir()},
                       {"sub/gone.txt", FileTree::file("gone")}};
    const Entries wanted{{"a.txt", FileTree::file("new a")},
                         {"keep.txt", FileTree::file("kept")},
                         {"new.txt", FileTree::file("from the diff")},
                         {"fresh/", FileTree::dir()},
                         {"fresh/n", FileTree::file("n")}};
    const Entries strays{{"saves/", FileTree::dir()},
                         {"saves/slot1", FileTree::file("progress")},
                         {"settings.ini", FileTree::file("volume=3")},
                         {"sub/", FileTree::dir()},
                         {"sub/notes", FileTree::file("mine")}};
    QVERIFY(FileTree::write(oldDir, base));
    QVERIFY(FileTree::write(sandbox.filePath("wanted"), wanted));
    QVERIFY(DirDiffWriter::build(oldDir, sandbox.filePath("wanted")).save(sandbox.filePath("p.diff")));
    QVERIFY(FileTree::write(oldDir, strays));
    QVERIFY(writeFile(oldDir + "/new.txt", "a stray where the diff brings a file"));
    QVERIFY(QFile::link("saves/slot1", oldDir + "/latest"));
    QVERIFY(chmod(QFile::encodeName(oldDir + "/saves/slot1").constData(), 0600) == 0);

    QVERIFY(FileTree::write(sandbox.filePath("expected"), wanted));
    QVERIFY(FileTree::write(sandbox.filePath("expected"), strays));
    QVERIFY(QFile::link("saves/slot1", sandbox.filePath("expected/latest")));
    QVERIFY(chmod(QFile::encodeName(sandbox.filePath("expected/saves/slot1")).constData(), 0600) == 0);

    const Result result = runDirpatch({"-f", oldDir, sandbox.filePath("p.diff"), oldDir});
    QVERIFY2(result.code == 0, result.err.constData());
    QCOMPARE(snapshot(oldDir), snapshot(sandbox.filePath("expected")));
}

void TestDirpatchInPlace::modes()
{
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    const QString wanted = sandbox.filePath("wanted");
    QVERIFY(FileTree::write(oldDir, {{"tool", FileTree::file("#!/bin/sh\nno longer run\n", true)},
                                     {"setuid-tool", FileTree::file("moved and run\n", true)},
                                     {"private", FileTree::file("only mine")},
                                     {"plain", FileTree::file("becomes a program")}}));
    QVERIFY(FileTree::write(wanted, {{"tool", FileTree::file("#!/bin/sh\nno longer run\n")},
                                     {"bin/", FileTree::dir()},
                                     {"bin/moved-tool", FileTree::file("moved and run\n", true)},
                                     {"private", FileTree::file("only mine")},
                                     {"plain", FileTree::file("becomes a program", true)},
                                     {"new-tool", FileTree::file("#!/bin/sh\nnew\n", true)}}));
    QVERIFY(DirDiffWriter::build(oldDir, wanted).save(sandbox.filePath("p.diff")));
    QVERIFY(chmod(QFile::encodeName(oldDir + "/tool").constData(), 0755) == 0);
    QVERIFY(chmod(QFile::encodeName(oldDir + "/setuid-tool").constData(), 04755) == 0);
    QVERIFY(chmod(QFile::encodeName(oldDir + "/private").constData(), 0600) == 0);
    QVERIFY(chmod(QFile::encodeName(oldDir + "/plain").constData(), 0640) == 0);
    const mode_t mask = umask(022);
    umask(mask);
    const mode_t created = 0666 & ~mask;

    const Result result = runDirpatch({"-f", oldDir, sandbox.filePath("p.diff"), oldDir});
    QVERIFY2(result.code == 0, result.err.constData());
    QCOMPARE(FileTree::read(oldDir), FileTree::read(wanted));
    QCOMPARE(modeOf(oldDir + "/tool"), mode_t(0644));
    QCOMPARE(modeOf(oldDir + "/bin/moved-tool"), mode_t(0755));
    QCOMPARE(modeOf(oldDir + "/private"), mode_t(0600));
    QCOMPARE(modeOf(oldDir + "/plain"), mode_t(0751));
    QCOMPARE(modeOf(oldDir + "/new-tool"), mode_t(created | 0111));
}

void TestDirpatchInPlace::oldPathSpelledAsLinkOrDot_data()
{
    QTest::addColumn<QString>("workDir"); // below the sandbox
    QTest::addColumn<QString>("oldPath");
    QTest::addColumn<QString>("diffPath");
    QTest::newRow("symbolic link to the folder") << ""
                                                 << "link-to-game"
                                                 << "p.diff";
    QTest::newRow("link with a trailing slash") << ""
                                                << "link-to-game/"
                                                << "p.diff";
    QTest::newRow("dot, the working directory") << "real/game"
                                                << "."
                                                << "../../p.diff";
}

void TestDirpatchInPlace::oldPathSpelledAsLinkOrDot()
{
    QFETCH(QString, workDir);
    QFETCH(QString, oldPath);
    QFETCH(QString, diffPath);
    QTemporaryDir sandbox;
    const QString realDir = sandbox.filePath("real/game");
    QVERIFY(FileTree::write(realDir, {{"a.bin", FileTree::file(randomBytes(5000, 2))}, {"same", FileTree::file("s")}}));
    QByteArray a = randomBytes(5000, 2);
    a.replace(10, 3, "new");
    const Entries newTree{{"a.bin", FileTree::file(a)}, {"same", FileTree::file("s")}, {"n", FileTree::file("n")}};
    QVERIFY(FileTree::write(sandbox.filePath("wanted"), newTree));
    QVERIFY(DirDiffWriter::build(realDir, sandbox.filePath("wanted")).save(sandbox.filePath("p.diff")));
    QVERIFY(QFile::link("real/game", sandbox.filePath("link-to-game")));
    const QStringList besideBefore = entriesIn(sandbox.filePath("real"));

    const Result result = runDirpatch({"-f", oldPath, diffPath, oldPath}, {}, sandbox.filePath(workDir));
    QVERIFY2(result.code == 0, result.err.constData());
    QCOMPARE(FileTree::read(realDir), newTree);
    QCOMPARE(QFile::symLinkTarget(sandbox.filePath("link-to-game")), realDir);
    QVERIFY(QFileInfo(sandbox.filePath("link-to-game")).isSymLink());
    QCOMPARE(entriesIn(sandbox.filePath("real")), besideBefore);
    QCOMPARE(entriesIn(sandbox.path()), (QStringList{"link-to-game", "p.diff", "real", "wanted"}));
}

void TestDirpatchInPlace::fullDiskNamesFileAndError_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("into a new folder") << false;
    QTest::newRow("in place") << true;
}

// A full disk is reported with the file being written and the system's words, besides the engine's lines.
void TestDirpatchInPlace::fullDiskNamesFileAndError()
{
    QFETCH(bool, inPlace);
    ScratchMount mount(ScratchMount::Tmpfs, 1024 * 1024);
    if (!mount.isMounted())
        QSKIP(qPrintable("no tmpfs to fill: " + mount.whyNot()));
    QTemporaryDir sandbox;
    const QString oldDir = mount.path() + "/game";
    QVERIFY(FileTree::write(oldDir, {{"a", FileTree::file("a")}}));
    QVERIFY(
        FileTree::write(sandbox.filePath("wanted"),
                        {{"a", FileTree::file("a")}, {"big.bin", FileTree::file(randomBytes(2 * 1024 * 1024, 9))}}));
    QVERIFY(DirDiffWriter::build(oldDir, sandbox.filePath("wanted")).save(sandbox.filePath("p.diff")));

    const QString out = inPlace ? oldDir : mount.path() + "/out";
    const Result result = runDirpatch({"-f", oldDir, sandbox.filePath("p.diff"), out});
    QCOMPARE(result.code, 108);
    const QString written = (inPlace ? oldDir + ".dirpatch-new" : out) + "/big.bin";
    // the system's words follow the engine's line about the failed write
    QVERIFY2(result.err.contains("check _file_append_part(self,writeToPos,data,data+writeLen) error!\ncan't write \"" +
                                 QFile::encodeName(written) + "\": No space left on device\n"),
             result.err.constData());
    QVERIFY2(result.err.contains("dir patch run ERROR!\n"), result.err.constData());
}

void TestDirpatchInPlace::unchangedFileNotRegularRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("inPlace");
    for (const bool inPlace : {false, true}) {
        const char* road = inPlace ? "in place" : "into a new folder";
        QTest::newRow(qPrintable(QString("FIFO, ") + road)) << "fifo" << inPlace;
        QTest::newRow(qPrintable(QString("link to a device, ") + road)) << "device" << inPlace;
        QTest::newRow(qPrintable(QString("folder, ") + road)) << "folder" << inPlace;
    }
}

// The old side of an unchanged file that is not a regular file is refused like a reference file that
// is none (110), at once, with nothing made and nothing changed.
void TestDirpatchInPlace::unchangedFileNotRegularRefused()
{
    QFETCH(QString, kind);
    QFETCH(bool, inPlace);
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    const QByteArray same = randomBytes(174444, 5);
    QVERIFY(FileTree::write(oldDir, {{"a.txt", FileTree::file("old a")}, {"same.bin", FileTree::file(same)}}));
    QVERIFY(FileTree::write(sandbox.filePath("wanted"),
                            {{"a.txt", FileTree::file("new a")}, {"same.bin", FileTree::file(same)}}));
    QVERIFY(DirDiffWriter::build(oldDir, sandbox.filePath("wanted")).save(sandbox.filePath("p.diff")));
    const QString sameFile = oldDir + "/same.bin";
    QVERIFY(QFile::remove(sameFile));
    const QByteArray sameName = QFile::encodeName(sameFile);
    if (kind == "fifo")
        QVERIFY(mkfifo(sameName.constData(), 0644) == 0);
    else if (kind == "device")
        QVERIFY(QFile::link("/dev/zero", sameFile));
    else
        QVERIFY(QDir().mkdir(sameFile));
    const QMap<QString, QString> before = snapshot(sandbox.path());

    const QString out = inPlace ? oldDir : sandbox.filePath("out");
    const Result result = runDirpatch({"-f", oldDir, sandbox.filePath("p.diff"), out});
    QCOMPARE(result.code, 110);
    QVERIFY2(result.err.contains("the old side of an unchanged file \"" + sameName + "\""), result.err.constData());
    QVERIFY2(result.msecs < 1000, qPrintable(QString::number(result.msecs)));
    QCOMPARE(snapshot(sandbox.path()), before);
}

void TestDirpatchInPlace::secondRunRefusedWhileTheFirstWorks_data()
{
    QTest::addColumn<QString>("killPoint"); // of a run before the first, none: ""
    QTest::addColumn<QString>("holdPoint");
    QTest::addColumn<int>("holdCount");
    QTest::newRow("while the first writes the new tree") << ""
                                                         << "open:.dirpatch-new" << 3;
    QTest::newRow("between the renames of the first's swap") << ""
                                                             << "rename:.dirpatch-new" << 1;
    QTest::newRow("while the first finishes a killed run") << "rename:.dirpatch-new"
                                                           << "unlink:.dirpatch-old" << 2;
}

// The same command started twice: while the first run works (held at a fixed step), the second is refused
// and touches nothing; the first ends with the new tree, nothing lost.
void TestDirpatchInPlace::secondRunRefusedWhileTheFirstWorks()
{
    QFETCH(QString, killPoint);
    QFETCH(QString, holdPoint);
    QFETCH(int, holdCount);
    SmallTrees trees;
    QVERIFY(trees.isValid());
    const QStringList args = trees.args();
    if (!killPoint.isEmpty())
        QVERIFY(runDirpatch(args, killAt(killPoint)).killed);

    const QString holdFile = trees.sandbox.filePath("hold");
    QProcess first;
    QVERIFY(startHeld(first, QStringList{DIRPATCH_BINARY} + args, holdAt(holdPoint, holdCount, holdFile), holdFile));
    const QMap<QString, QString> before = snapshot(trees.parent);
    const Result second = runDirpatch(args);
    QCOMPARE(second.code, 13);
    QVERIFY2(second.err.contains("another in-place run is at work in the folder \"" + QFile::encodeName(trees.parent) +
                                 "\" ERROR!\n"),
             second.err.constData());
    QCOMPARE(snapshot(trees.parent), before);
    QCOMPARE(finishHeld(first, holdFile), 0);
    QCOMPARE(FileTree::read(trees.oldDir), trees.wanted);
    QCOMPARE(entriesIn(trees.parent), QStringList{"game"});
}

namespace
{
// The identity the builds before the digest gave a diff under 1 MiB: its size and FNV-1a of its bytes.
QByteArray firstDiffIdentity(const QByteArray& diff)
{
    quint64 hash = 1469598103934665603ull;
    for (const char byte : diff)
        hash = (hash ^ quint8(byte)) * 1099511628211ull;
    return QByteArray::number(diff.size()) + " " + QByteArray::number(hash, 16).rightJustified(16, '0');
}
} // namespace

void TestDirpatchInPlace::recoveryActsOnlyOnWhatItChecked_data()
{
    QTest::addColumn<QString>("killPoint");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("change");     // what is done to the names beside the tree after the kill
    QTest::addColumn<bool>("fromAside");     // the command given as "." from inside the folder moved aside
    QTest::addColumn<QByteArray>("refusal"); // none: the new tree is finished at R; %R stands for R
    const QByteArray inTheWay = "not what the in-place record names, in the way: ";
    QTest::newRow("swap record, new tree removed by hand")
        << "rename:.dirpatch-old" << 1 << "remove new" << false
        << QByteArray("the new tree of an earlier run is missing beside \"%R\" ERROR!\n");
    QTest::newRow("swap record, new tree replaced by a file")
        << "rename:.dirpatch-old" << 1 << "file at new" << false << inTheWay + "\"%R.dirpatch-new\" ERROR!\n";
    QTest::newRow("swap record, new tree replaced by a link")
        << "rename:.dirpatch-old" << 1 << "link at new" << false << inTheWay + "\"%R.dirpatch-new\" ERROR!\n";
    QTest::newRow("swap record replaced by a link")
        << "rename:.dirpatch-old" << 1 << "link at record" << false
        << QByteArray("not a record of this patcher, in the way: \"%R.dirpatch-swap\" ERROR!\n");
    QTest::newRow("swap record with its digest cut short")
        << "rename:.dirpatch-old" << 1 << "cut record" << false
        << QByteArray("not a record of this patcher, in the way: \"%R.dirpatch-swap\" ERROR!\n");
    QTest::newRow("swap record of another user")
        << "rename:.dirpatch-old" << 1 << "record of another" << false
        << QByteArray("not a record of this patcher, in the way: \"%R.dirpatch-swap\" ERROR!\n");
    QTest::newRow("new tree of another user")
        << "rename:.dirpatch-old" << 1 << "new of another" << false << inTheWay + "\"%R.dirpatch-new\" ERROR!\n";
    QTest::newRow("R moved aside, another folder put at R")
        << "rename:.dirpatch-new" << 1 << "folder at R" << false << inTheWay + "\"%R\" ERROR!\n";
    QTest::newRow("R moved aside, new tree removed by hand")
        << "rename:.dirpatch-new" << 1 << "remove new" << false
        << QByteArray("the new tree of an earlier run is missing beside \"%R\" ERROR!\n");
    QTest::newRow("half-made tree replaced by a link")
        << "open:.dirpatch-new" << 5 << "link at new" << false << inTheWay + "\"%R.dirpatch-new\" ERROR!\n";
    QTest::newRow("devices renumbered by another boot")
        << "rename:.dirpatch-new" << 1 << "other boot" << false << QByteArray();
    QTest::newRow("another device within the same boot")
        << "rename:.dirpatch-new" << 1 << "other device" << false << inTheWay + "\"%R.dirpatch-new\" ERROR!\n";
    QTest::newRow("dot from the folder moved aside") << "rename:.dirpatch-new" << 1 << "" << true << QByteArray();
    QTest::newRow("dot from the aside being removed") << "unlink:.dirpatch-old" << 4 << "" << true << QByteArray();
    QTest::newRow("swap record of the build before the digest")
        << "rename:.dirpatch-new" << 1 << "first record" << false << QByteArray();
    QTest::newRow("build record of the build before the digest")
        << "open:.dirpatch-new" << 5 << "first record" << false << QByteArray();
    QTest::newRow("killed right after making the new tree's folder")
        << "mkdir:.dirpatch-new" << 1 << "empty new" << false << QByteArray();
    QTest::newRow("a new tree the record doesn't know, holding files")
        << "mkdir:.dirpatch-new" << 1 << "unknown new" << false << inTheWay + "\"%R.dirpatch-new\" ERROR!\n";
}

// A run cut short at a rename, then the names beside the tree changed by hand: the next run either refuses
// with nothing touched, or ends with the new tree at R and nothing beside it; never 0 with R old or missing.
void TestDirpatchInPlace::recoveryActsOnlyOnWhatItChecked()
{
    QFETCH(QString, killPoint);
    QFETCH(int, count);
    QFETCH(QString, change);
    QFETCH(bool, fromAside);
    QFETCH(QByteArray, refusal);
    SmallTrees trees;
    QVERIFY(trees.isValid());
    const QString fresh = trees.oldDir + ".dirpatch-new";
    QString record = trees.oldDir + ".dirpatch-swap";
    QVERIFY(QDir().mkpath(trees.sandbox.filePath("elsewhere")));
    QVERIFY(runDirpatch(trees.args(), killAt(killPoint, count)).killed);

    if (change == "remove new")
        QVERIFY(QDir(fresh).removeRecursively());
    else if (change == "file at new")
        QVERIFY(QDir(fresh).removeRecursively() && writeFile(fresh, "a file of mine"));
    else if (change == "link at new")
        QVERIFY(QDir().rename(fresh, trees.sandbox.filePath("elsewhere/tree")) &&
                QFile::link(trees.sandbox.filePath("elsewhere/tree"), fresh));
    else if (change == "link at record")
        QVERIFY(QDir().rename(record, trees.sandbox.filePath("elsewhere/record")) &&
                QFile::link(trees.sandbox.filePath("elsewhere/record"), record));
    else if (change == "cut record") {
        const QByteArray text = readFile(record);
        QVERIFY(writeFile(record, text.left(text.indexOf("\ndiff blake3 ") + 20) + "\n"));
    } else if (change == "record of another")
        QVERIFY(chown(QFile::encodeName(record).constData(), 65534, 65534) == 0);
    else if (change == "new of another")
        QVERIFY(chown(QFile::encodeName(fresh).constData(), 65534, 65534) == 0);
    else if (change == "folder at R")
        QVERIFY(FileTree::write(trees.oldDir, {{"mine", FileTree::file("a folder of mine")}}));
    else if (change == "other boot" || change == "other device") {
        // the same folders, their device numbers as another boot may give them
        QList<QByteArray> lines = readFile(record).split('\n');
        for (QByteArray& line : lines) {
            QList<QByteArray> fields = line.split(' ');
            if (fields[0] == "old" || fields[0] == "new")
                fields[1] = QByteArray::number(fields[1].toULongLong() + 1);
            if (fields[0] == "boot" && change == "other boot")
                fields[1] = "00000000-0000-4000-8000-000000000000";
            line = fields.join(' ');
        }
        QVERIFY(writeFile(record, lines.join('\n')));
    } else if (change == "empty new")
        QVERIFY(QDir().mkdir(fresh));
    else if (change == "unknown new")
        QVERIFY(FileTree::write(fresh, {{"mine", FileTree::file("not the patcher's")}}));
    else if (change == "first record") {
        // what the builds before the boot and new-tree lines wrote, with the same old folder
        if (!QFileInfo::exists(record))
            record = trees.oldDir + ".dirpatch-build";
        const QByteArray text = readFile(record);
        const int oldAt = text.indexOf("\nold ") + 5;
        const QList<QByteArray> old = text.mid(oldAt, text.indexOf('\n', oldAt) - oldAt).split(' ');
        QVERIFY(old.size() == 3);
        QVERIFY(writeFile(record, "dirpatch in-place record 1\nold " + old[0] + " " + old[1] + "\ndiff " +
                                      firstDiffIdentity(readFile(trees.diffPath)) + "\n"));
    }
    const QMap<QString, QString> before = snapshot(trees.sandbox.path());

    const QString workDir = fromAside ? trees.oldDir + ".dirpatch-old" : QString();
    const QStringList args = fromAside ? QStringList{"-f", ".", trees.diffPath, "."} : trees.args();
    const Result again = runDirpatch(args, {}, workDir);
    if (!refusal.isEmpty()) {
        QCOMPARE(again.code, 13);
        refusal.replace("%R", QFile::encodeName(trees.oldDir));
        QVERIFY2(again.err.contains(refusal), again.err.constData());
        QCOMPARE(snapshot(trees.sandbox.path()), before);
        return;
    }
    // the diff applied once: to the old tree, or not again to a finished swap's result
    QVERIFY2(again.code == 0, again.err.constData());
    QCOMPARE(FileTree::read(trees.oldDir), trees.wanted);
    QCOMPARE(entriesIn(trees.parent), QStringList{"game"});
}

// Once the new tree is in place, an aside folder that can't be removed is a warning, not a failure; the
// swap record stays, the next run retries and refuses only while the removal still fails.
void TestDirpatchInPlace::asideThatCannotBeRemovedIsRetried()
{
    SmallTrees trees;
    QVERIFY(trees.isValid());
    const QStringList args = trees.args();
    const QByteArray aside = QFile::encodeName(trees.oldDir + ".dirpatch-old");

    const Result first = runDirpatch(
        args, withFaults({"PELWINTER_FAULT_REFUSE_REMOVE=.dirpatch-old/", "PELWINTER_FAULT_REFUSE_REMOVE_TIMES=1"}));
    QVERIFY2(first.code == 0, first.err.constData());
    QVERIFY2(first.out.contains("WARNING: can't remove old file \"" + aside + "\"\n"), first.out.constData());
    QCOMPARE(FileTree::read(trees.oldDir), trees.wanted);
    QCOMPARE(entriesIn(trees.parent), (QStringList{"game", "game.dirpatch-old", "game.dirpatch-swap"}));

    const QMap<QString, QString> before = snapshot(trees.parent);
    const Result stillFails = runDirpatch(args, withFaults({"PELWINTER_FAULT_REFUSE_REMOVE=.dirpatch-old/"}));
    QCOMPARE(stillFails.code, 13);
    QVERIFY2(stillFails.err.contains("can't remove the old tree an earlier in-place run moved aside: \"" + aside +
                                     "\" ERROR!\n"),
             stillFails.err.constData());
    QCOMPARE(snapshot(trees.parent), before);

    const Result retried = runDirpatch(args);
    QVERIFY2(retried.code == 0, retried.err.constData());
    QCOMPARE(FileTree::read(trees.oldDir), trees.wanted);
    QCOMPARE(entriesIn(trees.parent), QStringList{"game"});
}

// A folder of the tree that is a bind mount of a folder of the same disk (so of the same device number) moves
// aside with the old tree; the removal of the aside stops at it, naming it, and the mounted folder keeps
// everything it holds.
void TestDirpatchInPlace::asideHoldingAMountIsLeftWhole()
{
    if (getuid() != 0)
        QSKIP("needs root to mount a folder inside the tree");
    SmallTrees trees;
    QVERIFY(trees.isValid());
    const QString source = trees.sandbox.filePath("elsewhere");
    QVERIFY(writeFile(source + "/precious", "kept"));
    const QString mounted = trees.oldDir + "/d0/mnt";
    QVERIFY(QDir().mkpath(mounted));
    if (QProcess::execute("mount", {"--bind", source, mounted}) != 0)
        QSKIP("this machine refuses bind mounts");
    const QString movedAside = trees.oldDir + ".dirpatch-old/d0/mnt";
    const auto unmount = qScopeGuard([&] {
        for (const QString& path : {mounted, movedAside}) {
            QProcess umount; // where it is not mounted (any more), umount's complaint is no news
            umount.setProcessChannelMode(QProcess::ForwardedOutputChannel);
            umount.setStandardErrorFile(QProcess::nullDevice());
            umount.start("umount", {"-l", path});
            umount.waitForFinished();
        }
    });
    const QByteArray mountText = QFile::encodeName(movedAside);

    const Result first = runDirpatch(trees.args());
    QVERIFY2(first.code == 0, first.err.constData());
    QVERIFY2(first.err.contains("can't remove \"" + mountText + "\": " + strerror(EBUSY)), first.err.constData());
    Entries wanted = trees.wanted;
    wanted.insert("d0/mnt/", FileTree::dir());
    wanted.insert("d0/mnt/precious", FileTree::file("kept"));
    QCOMPARE(FileTree::read(trees.oldDir), wanted);
    QCOMPARE(readFile(source + "/precious"), QByteArray("kept"));

    const Result again = runDirpatch(trees.args());
    QCOMPARE(again.code, 13);
    QVERIFY2(again.err.contains("can't remove the old tree an earlier in-place run moved aside"),
             again.err.constData());
    QCOMPARE(readFile(source + "/precious"), QByteArray("kept"));
    QCOMPARE(readFile(movedAside + "/precious"), QByteArray("kept"));
}

void TestDirpatchInPlace::parentOthersMayWriteRefused_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("groupOfAnother");
    QTest::addColumn<bool>("refused");
    QTest::newRow("others may write") << 0777 << false << true;
    QTest::newRow("another group may write") << 0775 << true << true;
    QTest::newRow("sticky, as a shared temporary folder") << 01777 << false << false;
    QTest::newRow("the user's own group may write") << 0775 << false << false;
}

// A parent folder in which another user could put a folder or a link at one of the swap's names between
// two steps is refused before anything is made.
void TestDirpatchInPlace::parentOthersMayWriteRefused()
{
    QFETCH(int, mode);
    QFETCH(bool, groupOfAnother);
    QFETCH(bool, refused);
    SmallTrees trees;
    QVERIFY(trees.isValid());
    const QByteArray parentName = QFile::encodeName(trees.parent);
    QVERIFY(chown(parentName.constData(), geteuid(), groupOfAnother ? getegid() + 4242 : getegid()) == 0);
    QVERIFY(chmod(parentName.constData(), mode_t(mode)) == 0);
    const QMap<QString, QString> before = snapshot(trees.parent);

    const Result result = runDirpatch({"-f", trees.oldDir, trees.diffPath, trees.oldDir});
    if (refused) {
        QCOMPARE(result.code, 13);
        QVERIFY2(result.err.contains("can't patch in place in a folder that others may write to: \"" + parentName +
                                     "\" ERROR!\n"),
                 result.err.constData());
        QCOMPARE(snapshot(trees.parent), before);
    } else {
        QVERIFY2(result.code == 0, result.err.constData());
        QCOMPARE(FileTree::read(trees.oldDir), trees.wanted);
        QCOMPARE(entriesIn(trees.parent), QStringList{"game"});
    }
}

// A parent folder the user may enter and write but not read can't be locked: the run says so and goes on.
void TestDirpatchInPlace::parentThatCannotBeLockedIsSaid()
{
    SmallTrees trees;
    QVERIFY(trees.isValid());
    QString whyNot;
    const QStringList command = asUnprivileged(QStringList{DIRPATCH_BINARY} + trees.args(), &whyNot);
    if (command.isEmpty())
        QSKIP(qPrintable(whyNot));
    QVERIFY(runProcess({"chown", "-R", "65534:65534", trees.sandbox.path()}).code == 0);
    QVERIFY(chmod(QFile::encodeName(trees.sandbox.path()).constData(), 0755) == 0);
    QVERIFY(chmod(QFile::encodeName(trees.parent).constData(), 0300) == 0);

    const Result result = runProcess(command);
    QVERIFY(chmod(QFile::encodeName(trees.parent).constData(), 0755) == 0);
    QVERIFY2(result.code == 0, result.err.constData());
    QVERIFY2(result.out.contains("WARNING: can't lock \"" + QFile::encodeName(trees.parent) +
                                 "\" against another in-place run: Permission denied\n"),
             result.out.constData());
    QCOMPARE(FileTree::read(trees.oldDir), trees.wanted);
    QCOMPARE(entriesIn(trees.parent), QStringList{"game"});
}

void TestDirpatchInPlace::linkAtTrustedNameBetweenStepsRefused_data()
{
    QTest::addColumn<QString>("holdPoint");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("landed"); // entries written where the link leads: by the step held, looked at before
    QTest::newRow("before the record is the swap's") << "rename:.dirpatch-build" << 1 << 115 << 0;
    QTest::newRow("before the old tree is moved aside") << "rename:.dirpatch-old" << 1 << 115 << 0;
    QTest::newRow("while unchanged files are linked into the new tree") << "link:.dirpatch-new" << 3 << 108 << 1;
    QTest::newRow("while new files are written into the new tree") << "open:.dirpatch-new" << 2 << 108 << 1;
}

// The new tree replaced by a link to a folder elsewhere while the run stands between two steps of its swap, or
// between two writes into the tree: the run refuses at its next step, R stays the old tree and no link, nothing
// more is written where the link leads, and the link and the record are left for the next run to refuse.
void TestDirpatchInPlace::linkAtTrustedNameBetweenStepsRefused()
{
    QFETCH(QString, holdPoint);
    QFETCH(int, count);
    QFETCH(int, code);
    QFETCH(int, landed);
    SmallTrees trees;
    QVERIFY(trees.isValid());
    const QString fresh = trees.oldDir + ".dirpatch-new";
    const QMap<QString, QString> oldTree = snapshot(trees.oldDir);
    QVERIFY(QDir().mkpath(trees.sandbox.filePath("elsewhere")));

    const QString holdFile = trees.sandbox.filePath("hold");
    QProcess run;
    QVERIFY(startHeld(run, QStringList{DIRPATCH_BINARY} + trees.args(), holdAt(holdPoint, count, holdFile), holdFile));
    QVERIFY(QDir().rename(fresh, trees.sandbox.filePath("elsewhere/tree")));
    QVERIFY(QFile::link(trees.sandbox.filePath("elsewhere/tree"), fresh));
    const QMap<QString, QString> elsewhere = snapshot(trees.sandbox.filePath("elsewhere"));
    QCOMPARE(finishHeld(run, holdFile), code);
    const QByteArray err = run.readAllStandardError();
    QVERIFY2(
        err.contains("not what the in-place record names, in the way: \"" + QFile::encodeName(fresh) + "\" ERROR!\n"),
        err.constData());
    QVERIFY(!QFileInfo(trees.oldDir).isSymLink());
    QCOMPARE(snapshot(trees.oldDir), oldTree);
    QMap<QString, QString> written = snapshot(trees.sandbox.filePath("elsewhere"));
    for (auto entry = elsewhere.cbegin(); entry != elsewhere.cend(); ++entry)
        QCOMPARE(written.take(entry.key()), entry.value());
    QCOMPARE(written.size(), landed);
    QVERIFY(!QFileInfo::exists(trees.oldDir + ".dirpatch-old"));
    QCOMPARE(entriesIn(trees.parent), (QStringList{"game", "game.dirpatch-build", "game.dirpatch-new"}));
}

void TestDirpatchInPlace::linkPutInOldTreeWhilePatchingRefused_data()
{
    QTest::addColumn<QString>("linked"); // the entry of the old tree moved outside and put back as a link
    QTest::newRow("a folder") << "d1";
    QTest::newRow("an unchanged file") << "d0/f1";
}

// An entry of the old tree replaced by a link to a copy outside it while the patch runs, after the first look
// for links: the look before the swap finds it, the run ends refused with R as it is and nothing beside it, and
// nothing outside is changed.
void TestDirpatchInPlace::linkPutInOldTreeWhilePatchingRefused()
{
    QFETCH(QString, linked);
    SmallTrees trees;
    QVERIFY(trees.isValid());
    const QString outside = trees.sandbox.filePath("outside");
    QVERIFY(QDir().mkpath(outside));

    const QString holdFile = trees.sandbox.filePath("hold");
    QProcess run;
    QVERIFY(startHeld(run, QStringList{DIRPATCH_BINARY} + trees.args(), holdAt("mkdir:.dirpatch-new", 1, holdFile),
                      holdFile));
    const QString entry = trees.oldDir + "/" + linked;
    QVERIFY(QDir().rename(entry, outside + "/moved"));
    QVERIFY(QFile::link(outside + "/moved", entry));
    const QMap<QString, QString> oldTree = snapshot(trees.oldDir);
    const QMap<QString, QString> outsideTree = snapshot(outside);
    QCOMPARE(finishHeld(run, holdFile), 115);
    const QByteArray err = run.readAllStandardError();
    QVERIFY2(
        err.contains("can't patch in place through the symbolic link \"" + QFile::encodeName(entry) + "\"  ERROR!\n"),
        err.constData());
    QCOMPARE(snapshot(trees.oldDir), oldTree);
    QCOMPARE(snapshot(outside), outsideTree);
    QCOMPARE(entriesIn(trees.parent), QStringList{"game"});
}

QTEST_GUILESS_MAIN(TestDirpatchInPlace)
#include "TestDirpatchInPlace.moc"
