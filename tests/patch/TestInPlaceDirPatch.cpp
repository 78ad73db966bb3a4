// Patching a directory onto itself with tempDirPatchListener: runDirPatch writes into a temporary
// sibling and patchFinish rebuilds the old directory from it. Every row checks the result, the old
// directory afterwards (byte for byte, with execute bits) and that the temporary directory is gone.

#include "patch/drivers/dir_patch_driver.h"
#include "patch/drivers/temp_dir_patch_listener.h"
#include "patch/os/file_services.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/StderrCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

namespace
{
using Entries = FileTree::Entries;

// What the temporary directory held when the patch finished, and an optional intrusion there.
struct Observer
{
    QString tempRoot;
    Entries tempTreeAtFinish;
    std::function<void(const QString&)> beforeFinish;
    int finishCalls = 0;
};

Observer* observer = nullptr;

BOOL observingPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess)
{
    ++observer->finishCalls;
    observer->tempTreeAtFinish = FileTree::read(observer->tempRoot);
    if (observer->beforeFinish)
        observer->beforeFinish(observer->tempRoot);
    return tempPatchFinish(listener, isPatchSuccess);
}

QString tempPathOf(const QString& path)
{
    char buf[4096];
    if (!getTempPathName(path.toUtf8().constData(), buf, buf + sizeof(buf)))
        return QString();
    return QString::fromUtf8(buf);
}

struct Outcome
{
    int code = -1;
    QByteArray errors;
};

Outcome patchInPlace(const QString& oldDir, const QString& diffPath, Observer* obs)
{
    const QString temp = tempPathOf(oldDir);
    obs->tempRoot = temp;
    observer = obs;
    TDirPatchListener listener = tempDirPatchListener;
    listener.dirPatcher = nullptr;
    listener.patchFinish = observingPatchFinish;
    TChecksumSet checksumSet = {};
    StderrCapture capture;
    Outcome outcome;
    outcome.code = runDirPatch(oldDir.toUtf8().constData(), diffPath.toUtf8().constData(), temp.toUtf8().constData(), 0,
                               64 * 1024, 24, &checksumSet, &listener, 0, 0);
    outcome.errors = capture.take();
    observer = nullptr;
    return outcome;
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
    void leftoverInTempIsReported();
    void finishBeforeBeginTouchesNothing();
};

void TestInPlaceDirPatch::patch_data()
{
    QTest::addColumn<Entries>("oldTree");
    QTest::addColumn<Entries>("newTree");
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
                                                                 {"sub/c", file(shared)}};
    QTest::newRow("new directory created, old directory removed")
        << Entries{{"olddir/", dir()}, {"olddir/x", file("x")}, {"y", file("y content")}}
        << Entries{{"newdir/", dir()},
                   {"newdir/deeper/", dir()},
                   {"newdir/deeper/y", file("y content")},
                   {"z", file("brand new")}};
    QTest::newRow("file replaced at the same path")
        << Entries{{"data.bin", file(QByteArray(5000, 'a') + "old tail")}}
        << Entries{{"data.bin", file(QByteArray(5000, 'a') + "the new tail is longer")}};
    QTest::newRow("execute bits and empty files") << Entries{{"tool", file("#!/bin/sh\necho old\n")}}
                                                  << Entries{{"tool", file("#!/bin/sh\necho new\n", true)},
                                                             {"empty", file("")},
                                                             {"copy", file("#!/bin/sh\necho old\n", true)}};
    QTest::newRow("unchanged tree") << Entries{{"a", file("same")}, {"d/", dir()}}
                                    << Entries{{"a", file("same")}, {"d/", dir()}};
}

void TestInPlaceDirPatch::patch()
{
    QFETCH(Entries, oldTree);
    QFETCH(Entries, newTree);
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    const QString wantedDir = sandbox.filePath("wanted");
    const QString diffPath = sandbox.filePath("patch.diff");
    QVERIFY(FileTree::write(oldDir, oldTree));
    QVERIFY(FileTree::write(wantedDir, newTree));
    QVERIFY(DirDiffWriter::build(oldDir, wantedDir).save(diffPath));

    Observer obs;
    const Outcome outcome = patchInPlace(oldDir, diffPath, &obs);
    QCOMPARE(outcome.errors, QByteArray());
    QCOMPARE(outcome.code, 0);
    QCOMPARE(FileTree::read(oldDir), newTree);
    QVERIFY(!QFileInfo::exists(obs.tempRoot));
    QCOMPARE(obs.finishCalls, 1);
    // unchanged files are taken over after the patch, never written into the temporary directory
    for (auto it = obs.tempTreeAtFinish.cbegin(); it != obs.tempTreeAtFinish.cend(); ++it) {
        bool isCopyOfOld = false;
        for (const FileTree::Entry& old : oldTree)
            isCopyOfOld = isCopyOfOld || (!old.isDir && old.content == it.value().content && !old.content.isEmpty());
        QVERIFY2(it.value().isDir || !isCopyOfOld, qPrintable(it.key()));
    }
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

    Observer obs;
    const Outcome outcome = patchInPlace(oldDir, diffPath, &obs);
    QCOMPARE(outcome.code, 108);
    QCOMPARE(FileTree::read(oldDir), oldTree);
    QVERIFY(!QFileInfo::exists(obs.tempRoot));
}

void TestInPlaceDirPatch::leftoverInTempIsReported()
{
    QTemporaryDir sandbox;
    const QString oldDir = sandbox.filePath("game");
    const QString wantedDir = sandbox.filePath("wanted");
    const QString diffPath = sandbox.filePath("patch.diff");
    const Entries newTree{{"a", FileTree::file("new a")}};
    QVERIFY(FileTree::write(oldDir, {{"a", FileTree::file("old a")}}));
    QVERIFY(FileTree::write(wantedDir, newTree));
    QVERIFY(DirDiffWriter::build(oldDir, wantedDir).save(diffPath));

    Observer obs;
    obs.beforeFinish = [](const QString& temp) {
        QFile stray(temp + "/stray");
        QVERIFY(stray.open(QIODevice::WriteOnly));
    };
    const Outcome outcome = patchInPlace(oldDir, diffPath, &obs);
    QCOMPARE(outcome.code, 115);
    QVERIFY(outcome.errors.startsWith("can't delete newTempDir \"" + obs.tempRoot.toUtf8()));
    QVERIFY(outcome.errors.contains("\"  ERROR!\n"));
    // the new tree is in place all the same
    QCOMPARE(FileTree::read(oldDir), newTree);
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
                    tempPathOf(oldDir).toUtf8().constData(), 0, 64 * 1024, 24, &checksumSet, &listener, 0, 0);
    capture.take();
    QCOMPARE(code, 2);
    QCOMPARE(FileTree::read(oldDir), (Entries{{"a", FileTree::file("a")}}));
}

QTEST_GUILESS_MAIN(TestInPlaceDirPatch)
#include "TestInPlaceDirPatch.moc"
