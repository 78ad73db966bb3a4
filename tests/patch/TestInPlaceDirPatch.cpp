// Patching a directory onto itself with tempDirPatchListener: runDirPatch makes the new tree beside the
// old one and patchFinish swaps it in. Every row checks the result, the old directory afterwards (byte for
// byte, with execute bits) and that nothing is left beside it.

#include "patch/drivers/dir_patch_driver.h"
#include "patch/drivers/in_place_swap.h"
#include "patch/drivers/temp_dir_patch_listener.h"
#include "patch/os/file_services.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/StderrCapture.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <sys/stat.h>

namespace
{
using Entries = FileTree::Entries;

// The inodes of the regular files below root, by relative path.
QMap<QString, quint64> inodesBelow(const QString& root)
{
    QMap<QString, quint64> inodes;
    const Entries entries = FileTree::read(root);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        struct stat info;
        if (!it.value().isDir && lstat(QFile::encodeName(root + "/" + it.key()).constData(), &info) == 0)
            inodes.insert(it.key(), info.st_ino);
    }
    return inodes;
}

// What the new tree held when the patch finished, and an optional intrusion then.
struct Observer
{
    QString tempRoot;
    QMap<QString, quint64> newInodesAtFinish;
    std::function<void(const QString&)> beforeFinish;
    int finishCalls = 0;
};

Observer* observer = nullptr;

BOOL observingPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess)
{
    ++observer->finishCalls;
    observer->newInodesAtFinish = inodesBelow(observer->tempRoot);
    if (observer->beforeFinish)
        observer->beforeFinish(observer->tempRoot);
    return tempPatchFinish(listener, isPatchSuccess);
}

struct Outcome
{
    int code = -1;
    QByteArray errors;
};

Outcome patchInPlace(const QString& oldDir, const QString& diffPath, Observer* obs)
{
    Outcome outcome;
    TInPlaceSwap swap;
    StderrCapture capture;
    if (inPlaceSwap_start(&swap, oldDir.toUtf8().constData(), diffPath.toUtf8().constData(), 0, 0) !=
            kInPlaceStart_patch ||
        !inPlaceSwap_beginBuild(&swap)) {
        outcome.errors = capture.take();
        inPlaceSwap_end(&swap);
        return outcome;
    }
    obs->tempRoot = QString::fromUtf8(swap.newDir);
    observer = obs;
    TTempDirPatchRun run;
    run.swap = &swap;
    TDirPatchListener listener;
    tempDirPatchListener_init(&listener, &run);
    listener.patchFinish = observingPatchFinish;
    TChecksumSet checksumSet = {};
    outcome.code = runDirPatch(swap.realDir, diffPath.toUtf8().constData(), swap.newDir, 0, 64 * 1024, 24, &checksumSet,
                               &listener, 0, 0);
    outcome.errors = capture.take();
    observer = nullptr;
    inPlaceSwap_end(&swap);
    return outcome;
}

QStringList beside(const QString& dir)
{
    return QDir(QFileInfo(dir).path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}
} // namespace

Q_DECLARE_METATYPE(FileTree::Entries)

class TestInPlaceDirPatch : public QObject
{
    Q_OBJECT

private slots:
    void patch_data();
    void patch();
    void failedPatchLeavesOldTreeAndRemovesTemp();
    void swapRefusedPutsEverythingBack();
    void finishBeforeBeginTouchesNothing();
    void diffNamedByAllItsBytes();
};

void TestInPlaceDirPatch::patch_data()
{
    QTest::addColumn<Entries>("oldTree");
    QTest::addColumn<Entries>("newTree");
    QTest::addColumn<int>("linked"); // new files that are the old files themselves
    const auto dir = FileTree::dir;
    const auto file = [](const QByteArray& content, bool executable = false) {
        return FileTree::file(content, executable);
    };
    const QByteArray shared = "the same bytes in several new files";
    QTest::newRow("one old file for three new files") << Entries{{"keep", file(shared)}, {"gone", file("removed")}}
                                                      << Entries{{"a", file(shared)},
                                                                 {"b", file(shared)},
                                                                 {"keep", file(shared)},
                                                                 {"sub/", dir()},
                                                                 {"sub/c", file(shared)}}
                                                      << 1;
    QTest::newRow("new directory created, old directory removed")
        << Entries{{"olddir/", dir()}, {"olddir/x", file("x")}, {"y", file("y content")}}
        << Entries{{"newdir/", dir()},
                   {"newdir/deeper/", dir()},
                   {"newdir/deeper/y", file("y content")},
                   {"z", file("brand new")}}
        << 1;
    QTest::newRow("file replaced at the same path")
        << Entries{{"data.bin", file(QByteArray(5000, 'a') + "old tail")}}
        << Entries{{"data.bin", file(QByteArray(5000, 'a') + "the new tail is longer")}} << 0;
    QTest::newRow("execute bits and empty files") << Entries{{"tool", file("#!/bin/sh\necho old\n")}}
                                                  << Entries{{"tool", file("#!/bin/sh\necho new\n", true)},
                                                             {"empty", file("")},
                                                             {"copy", file("#!/bin/sh\necho old\n", true)}}
                                                  << 0; // the copy's mode differs from the old file's
    QTest::newRow("unchanged tree") << Entries{{"a", file("same")}, {"d/", dir()}}
                                    << Entries{{"a", file("same")}, {"d/", dir()}} << 1;
}

void TestInPlaceDirPatch::patch()
{
    QFETCH(Entries, oldTree);
    QFETCH(Entries, newTree);
    QFETCH(int, linked);
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    const QString wantedDir = sandbox.filePath("wanted");
    const QString diffPath = sandbox.filePath("patch.diff");
    QVERIFY(FileTree::write(oldDir, oldTree));
    QVERIFY(FileTree::write(wantedDir, newTree));
    QVERIFY(DirDiffWriter::build(oldDir, wantedDir).save(diffPath));
    const QSet<quint64> oldInodes = [&] {
        const QList<quint64> values = inodesBelow(oldDir).values();
        return QSet<quint64>(values.cbegin(), values.cend());
    }();
    const QStringList besideBefore = beside(oldDir);

    Observer obs;
    const Outcome outcome = patchInPlace(oldDir, diffPath, &obs);
    QCOMPARE(outcome.errors, QByteArray());
    QCOMPARE(outcome.code, 0);
    QCOMPARE(FileTree::read(oldDir), newTree);
    QCOMPARE(beside(oldDir), besideBefore);
    QCOMPARE(obs.finishCalls, 1);
    // unchanged files are the old files themselves where they can be, and no two new paths share one file
    const QList<quint64> newInodes = obs.newInodesAtFinish.values();
    QCOMPARE(QSet<quint64>(newInodes.cbegin(), newInodes.cend()).size(), newInodes.size());
    int sharing = 0;
    for (quint64 inode : newInodes)
        sharing += oldInodes.contains(inode) ? 1 : 0;
    QCOMPARE(sharing, linked);
}

void TestInPlaceDirPatch::failedPatchLeavesOldTreeAndRemovesTemp()
{
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    const QString wantedDir = sandbox.filePath("wanted");
    const QString diffPath = sandbox.filePath("patch.diff");
    const Entries oldTree{{"a", FileTree::file(QByteArray(3000, 'q') + "old")}, {"b", FileTree::file("keep me")}};
    QVERIFY(FileTree::write(oldDir, oldTree));
    QVERIFY(FileTree::write(wantedDir, {{"a", FileTree::file(QByteArray(3000, 'q') + "new one")},
                                        {"n/", FileTree::dir()},
                                        {"n/c", FileTree::file("fresh")}}));
    DirDiff diff = DirDiffWriter::build(oldDir, wantedDir);
    diff.cdiff.chop(1); // the embedded diff ends early: the patch fails after files were written
    diff.updateHead();
    QVERIFY(diff.save(diffPath));

    const QStringList besideBefore = beside(oldDir);

    Observer obs;
    const Outcome outcome = patchInPlace(oldDir, diffPath, &obs);
    QCOMPARE(outcome.code, 108);
    QCOMPARE(FileTree::read(oldDir), oldTree);
    QCOMPARE(beside(oldDir), besideBefore);
}

// The old tree can't be moved aside (a folder of someone else's holds the aside name by the time of the
// swap): the swap is undone, the old tree stays, the new one is removed, the other folder is left alone.
void TestInPlaceDirPatch::swapRefusedPutsEverythingBack()
{
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    const QString wantedDir = sandbox.filePath("wanted");
    const QString diffPath = sandbox.filePath("patch.diff");
    const Entries oldTree{{"a", FileTree::file("old a")}, {"same", FileTree::file("same")}};
    QVERIFY(FileTree::write(oldDir, oldTree));
    QVERIFY(FileTree::write(wantedDir, {{"a", FileTree::file("new a")}, {"same", FileTree::file("same")}}));
    QVERIFY(DirDiffWriter::build(oldDir, wantedDir).save(diffPath));

    Observer obs;
    const Entries intruder{{"theirs", FileTree::file("not the patcher's")}};
    obs.beforeFinish = [&](const QString&) { QVERIFY(FileTree::write(oldDir + ".dirpatch-old", intruder)); };
    const Outcome outcome = patchInPlace(oldDir, diffPath, &obs);
    QCOMPARE(outcome.code, 115);
    QVERIFY2(outcome.errors.contains("can't rename \"" + oldDir.toUtf8() + "\" to \"" + oldDir.toUtf8() +
                                     ".dirpatch-old\": File exists\n"),
             outcome.errors.constData());
    QCOMPARE(FileTree::read(oldDir), oldTree);
    QCOMPARE(FileTree::read(oldDir + ".dirpatch-old"), intruder);
    QCOMPARE(beside(oldDir), (QStringList{"game", "game.dirpatch-old", "patch.diff", "wanted"}));
}

void TestInPlaceDirPatch::finishBeforeBeginTouchesNothing()
{
    // runDirPatch fails before patchBegin (no diff file); a patcher left from an earlier run must not
    // be used.
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    QVERIFY(FileTree::write(oldDir, {{"a", FileTree::file("a")}}));
    TDirPatchListener listener = tempDirPatchListener;
    listener.dirPatcher = nullptr;
    TChecksumSet checksumSet = {};
    StderrCapture capture;
    const int code =
        runDirPatch(oldDir.toUtf8().constData(), sandbox.filePath("missing.diff").toUtf8().constData(),
                    (oldDir + ".dirpatch-new").toUtf8().constData(), 0, 64 * 1024, 24, &checksumSet, &listener, 0, 0);
    capture.take();
    QCOMPARE(code, 2);
    QCOMPARE(FileTree::read(oldDir), (Entries{{"a", FileTree::file("a")}}));
}

// Two diffs of one size that differ only far from both ends are two diffs, and the window of a diff inside
// a larger file is named as the same bytes on their own.
void TestInPlaceDirPatch::diffNamedByAllItsBytes()
{
    QTemporaryDir sandbox;
    QVERIFY(QDir().mkpath(sandbox.filePath("game")));
    QByteArray bytes(3 * 1024 * 1024, 'd');
    QVERIFY(writeFile(sandbox.filePath("a.diff"), bytes));
    bytes[bytes.size() / 2] = 'e';
    QVERIFY(writeFile(sandbox.filePath("b.diff"), bytes));
    QVERIFY(writeFile(sandbox.filePath("archive"), "program bytes " + bytes + " marker"));
    const auto identity = [&](const QString& diff, dpatch_StreamPos_t offset, dpatch_StreamPos_t size) {
        TInPlaceSwap swap;
        StderrCapture capture;
        const TInPlaceStart start = inPlaceSwap_start(&swap, QFile::encodeName(sandbox.filePath("game")).constData(),
                                                      QFile::encodeName(diff).constData(), offset, size);
        inPlaceSwap_end(&swap);
        return start == kInPlaceStart_patch ? QByteArray(swap.diffIdentity) : QByteArray();
    };
    const QByteArray a = identity(sandbox.filePath("a.diff"), 0, 0);
    const QByteArray b = identity(sandbox.filePath("b.diff"), 0, 0);
    QVERIFY(a.startsWith("blake3 "));
    QVERIFY(a != b);
    QCOMPARE(identity(sandbox.filePath("archive"), 14, dpatch_StreamPos_t(bytes.size())), b);
}

QTEST_GUILESS_MAIN(TestInPlaceDirPatch)
#include "TestInPlaceDirPatch.moc"
