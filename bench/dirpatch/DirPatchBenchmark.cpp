// Applies a directory diff that turns a generated old tree (1 GiB in about 2,000 files by default)
// into a new tree, 80% of whose files are copied unchanged, 15% changed in a few places and 5% new,
// with the launcher's settings (512 MiB cache, 24 open files), on two file systems, as medians of five
// interleaved runs, each timed step started after sync:
//   - on the disk of the work folder: the patch next to cp -r of the new tree;
//   - on a loop-mounted XFS image (which shares blocks between files; needs root and mkfs.xfs, skipped
//     with the reason otherwise): the patch next to the work no patch can avoid there, cloning the unchanged
//     files (cp --reflink=always) and writing the changed and new ones (cp --reflink=never);
//   - on the disk of the work folder: the command line patching the tree in place (dirpatch -f R diff R)
//     next to the same diff written to a new folder (dirpatch R diff NEW), each on a fresh copy of the old
//     tree made before the sync, timed to the command's end and, again, to the end of a flush of its file
//     system after it (sync -f).
// The patch runs in a child process of its own so that the memory it reports is the patch's alone.
// With --small-files the tree is instead many small files (20,000 by default) of 1-16 KiB in 300 folders,
// 80% unchanged, 10% changed in a few places, 5% removed and 5% new, where the cost per path, not per byte,
// decides, and only the in-place comparison runs: on the disk of the work folder, and on a loop-mounted XFS
// image (as root), where removing the old tree costs what that file system makes it cost, not what the disk
// below does (a disk mounted with online discard, say, waits for every block the removal frees).
//
//   build/bench/dirpatch/dirpatch_benchmark [MiB, default 1024] [files, default 2000] [work folder]
//   build/bench/dirpatch/dirpatch_benchmark --small-files [files, default 20000] [work folder]

#include "patch/drivers/dir_patch_driver.h"
#include "support/BenchTiming.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/ScratchMount.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <malloc.h>

namespace
{
const size_t kLauncherCache = 512u * 1024 * 1024;
const size_t kLauncherOpenFiles = 24;
const int kRounds = 5;
const qint64 kXfsImageSize = 4ll << 30;

QByteArray randomData(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
    return data;
}

int applyPatch(const char* oldDir, const char* diffFile, const char* newDir)
{
    TChecksumSet noChecks = {};
    return runDirPatch(oldDir, diffFile, newDir, 0, kLauncherCache, kLauncherOpenFiles, &noChecks,
                       &defaultDirPatchListener, 0, 0);
}

// The trees and the diff of one place, and what the patch must make.
struct Place
{
    QString oldDir;
    QString newSource; // the new tree as it should come out
    QString diffPath;
    QString outDir;  // where the patch writes
    QString copyDir; // where the command it is compared with writes
};

Place placeIn(const QString& root)
{
    return {root + "/old", root + "/new-source", root + "/patch.diff", root + "/out", root + "/copy"};
}

// One side of a comparison: a timed command and the output it leaves, removed before each run.
struct Side
{
    QString name;
    QStringList command;
    QString folder;
    QString output;
    bool outputMustExist = false; // made empty before each run, else removed
    QStringList prepare;          // run untimed before each run, after the output was removed
    QList<double> seconds;
    double peakMiB = 0;
};

// Runs both sides kRounds times, alternating which goes first; false if a run failed.
bool compare(Side& measured, Side& anchor)
{
    for (int round = 0; round < kRounds; ++round) {
        for (Side* side : round % 2 ? QList<Side*>{&anchor, &measured} : QList<Side*>{&measured, &anchor}) {
            QDir(side->output).removeRecursively();
            if (side->outputMustExist)
                QDir().mkpath(side->output);
            if (!side->prepare.isEmpty() && runTimed(side->prepare).exitCode != 0) {
                printf("preparing %s failed\n", qPrintable(side->name));
                return false;
            }
            const TimedRun run = runTimed(side->command, side->folder);
            if (run.exitCode != 0) {
                printf("%s failed with exit code %d\n", qPrintable(side->name), run.exitCode);
                return false;
            }
            side->seconds.append(run.seconds);
            side->peakMiB = qMax(side->peakMiB, run.peakMiB);
        }
    }
    return true;
}

bool sameTrees(const QString& a, const QString& b)
{
    return runTimed({"diff", "-r", "-q", a, b}).exitCode == 0;
}

// Prints both sides' runs and medians and the ratio; true when the patch made the new tree.
bool report(const Place& place, Side& patch, Side& anchor, double target)
{
    const double patchMedian = medianOf(patch.seconds);
    const double anchorMedian = medianOf(anchor.seconds);
    const bool same = sameTrees(place.outDir, place.newSource);
    printf("  %-46s median %6.2f s  (runs %s)\n", qPrintable(anchor.name), anchorMedian,
           qPrintable(secondsList(anchor.seconds)));
    printf("  %-46s median %6.2f s  (runs %s)\n", qPrintable(patch.name), patchMedian,
           qPrintable(secondsList(patch.seconds)));
    printf("  %s / %s: %.2fx (target <= %.1fx: %s), new tree %s, peak memory of the patch %.0f MiB\n",
           qPrintable(patch.name), qPrintable(anchor.name), patchMedian / anchorMedian, target,
           patchMedian / anchorMedian <= target ? "met" : "MISSED", same ? "identical" : "DIFFERENT", patch.peakMiB);
    printf("  load average: %s\n", qPrintable(loadAverages()));
    return same;
}

Side patchSide(const char* self, const Place& place)
{
    return {"runDirPatch", {self, "--apply", place.oldDir, place.diffPath, place.outDir}, QString(), place.outDir};
}

bool onDisk(const char* self, const Place& place)
{
    printf("\n== on the disk of the work folder: the patch next to cp -r of the new tree\n");
    Side patch = patchSide(self, place);
    Side copy{"cp -r of the new tree", {"cp", "-r", place.newSource, place.copyDir}, QString(), place.copyDir};
    const bool ok = compare(patch, copy) && report(place, patch, copy, 1.1);
    QDir(place.outDir).removeRecursively();
    QDir(place.copyDir).removeRecursively();
    return ok;
}

// The unavoidable work as one command run in the new tree's place: clone the unchanged files from the old
// tree, write the others from the new tree, each with its folders.
QStringList unavoidableWork(const Place& place, const QString& unchangedList, const QString& writtenList)
{
    const QString script = "cd \"$1\" && xargs -a \"$3\" -d '\\n' cp --reflink=always --parents -t \"$5\" && "
                           "cd \"$2\" && xargs -a \"$4\" -d '\\n' cp --reflink=never --parents -t \"$5\"";
    return {"sh", "-c", script, "sh", place.oldDir, place.newSource, unchangedList, writtenList, place.copyDir};
}

// The trees and the diff of diskPlace copied onto the mounted XFS image; false, saying so, if that fails.
bool copyOnto(const ScratchMount& xfs, const Place& diskPlace)
{
    for (const QString& from : {diskPlace.oldDir, diskPlace.newSource, diskPlace.diffPath}) {
        if (runTimed({"cp", "-a", from, xfs.path()}).exitCode != 0) {
            printf("  can't copy %s onto the XFS image\n", qPrintable(from));
            return false;
        }
    }
    return true;
}

bool onXfs(const char* self, const Place& diskPlace, const QStringList& unchanged, const QStringList& written)
{
    printf("\n== on a loop-mounted XFS image of %lld GiB: the patch next to cloning the unchanged files "
           "and writing the others\n",
           kXfsImageSize >> 30);
    ScratchMount xfs(ScratchMount::Xfs, kXfsImageSize);
    if (!xfs.isMounted()) {
        printf("  skipped: %s\n", qPrintable(xfs.whyNot()));
        return true;
    }
    const Place place = placeIn(xfs.path());
    if (!copyOnto(xfs, diskPlace))
        return false;
    const QString unchangedList = xfs.path() + "/unchanged.list";
    const QString writtenList = xfs.path() + "/written.list";
    QFile unchangedFile(unchangedList);
    QFile writtenFile(writtenList);
    if (!unchangedFile.open(QIODevice::WriteOnly) || !writtenFile.open(QIODevice::WriteOnly))
        return false;
    unchangedFile.write(unchanged.join('\n').toUtf8() + '\n');
    writtenFile.write(written.join('\n').toUtf8() + '\n');
    unchangedFile.close();
    writtenFile.close();

    Side patch = patchSide(self, place);
    Side work{"cp --reflink=always + --reflink=never", unavoidableWork(place, unchangedList, writtenList), QString(),
              place.copyDir, true};
    const bool ok = compare(patch, work) && report(place, patch, work, 1.5);
    printf("  the unavoidable work's tree: %s\n",
           sameTrees(place.copyDir, place.newSource) ? "identical" : "DIFFERENT");
    return ok;
}

// The side's command followed by a flush of the file system its output is on, which the time then includes.
Side flushed(const Side& side)
{
    Side withFlush = side;
    withFlush.name += " + sync -f";
    withFlush.command = QStringList{"sh", "-c", "\"$@\" && sync -f \"$(dirname \"$0\")\"", side.output} + side.command;
    withFlush.seconds.clear();
    withFlush.peakMiB = 0;
    return withFlush;
}

// The command line patching a fresh copy of the old tree in place next to writing the same diff to a new
// folder from another fresh copy; the copies are made before the sync, outside the timed step. The two roads
// write very different amounts (the in-place road links the unchanged files that the other copies), so they
// are timed twice: to the command's end, and to the end of the flush of what it wrote.
bool inPlaceNextToNewFolder(const Place& place)
{
    const QString inPlaceDir = place.outDir + "-in-place";
    const QString newFolderOld = place.outDir + "-old";
    const QString freshCopy = "rm -rf \"$1\" && cp -a \"$2\" \"$1\"";
    Side inPlace{
        "dirpatch -f R diff R", {DIRPATCH_BINARY, "-f", inPlaceDir, place.diffPath, inPlaceDir}, QString(), inPlaceDir};
    inPlace.prepare = {"sh", "-c", freshCopy, "sh", inPlaceDir, place.oldDir};
    Side newFolder{
        "dirpatch R diff NEW", {DIRPATCH_BINARY, newFolderOld, place.diffPath, place.outDir}, QString(), place.outDir};
    newFolder.prepare = {"sh", "-c", freshCopy, "sh", newFolderOld, place.oldDir};
    Place inPlacePlace = place;
    inPlacePlace.outDir = inPlaceDir;
    bool ok = compare(inPlace, newFolder) && report(inPlacePlace, inPlace, newFolder, 1.2);
    Side inPlaceFlushed = flushed(inPlace);
    Side newFolderFlushed = flushed(newFolder);
    ok = ok && compare(inPlaceFlushed, newFolderFlushed) && report(inPlacePlace, inPlaceFlushed, newFolderFlushed, 1.2);
    const bool newFolderOk = sameTrees(place.outDir, place.newSource);
    printf("  the new folder's tree: %s\n", newFolderOk ? "identical" : "DIFFERENT");
    for (const QString& folder : {inPlaceDir, newFolderOld, place.outDir})
        QDir(folder).removeRecursively();
    return ok && newFolderOk;
}

// The large tree: fileCount files of totalMiB together in 20 folders; unchanged and written get the
// relative paths of the files the patch copies and of those it writes.
bool writeLargeTrees(const Place& place, qint64 totalMiB, int fileCount, QStringList* unchanged, QStringList* written)
{
    const qsizetype fileSize = qsizetype(totalMiB * 1024 * 1024 / fileCount) & ~qsizetype(3);
    printf("generating %lld MiB in %d files of %lld bytes in %s...\n", (long long)totalMiB, fileCount,
           (long long)fileSize, qPrintable(QFileInfo(place.oldDir).path()));
    for (int i = 0; i < fileCount; ++i) {
        const QString name = QString("dir%1/file%2.bin").arg(i % 20).arg(i);
        const QByteArray oldContent = randomData(fileSize, quint32(i));
        FileTree::Entries oldEntry{{name, FileTree::file(oldContent)}};
        FileTree::Entries newEntry;
        const int kind = i % 20; // 16 of 20 copied, 3 changed, 1 replaced by a new file
        if (kind < 16) {
            newEntry[name] = FileTree::file(oldContent);
            unchanged->append(name);
        } else if (kind < 19) {
            QByteArray changed = oldContent;
            for (qsizetype at = 4096; at + 64 < changed.size(); at += changed.size() / 8)
                changed.replace(at, 64, randomData(64, quint32(i) ^ 0x5a5a5a5a));
            newEntry[name] = FileTree::file(changed);
            written->append(name);
        } else {
            const QString added = QString("dir%1/new%2.bin").arg(i % 20).arg(i);
            newEntry[added] = FileTree::file(randomData(fileSize, ~quint32(i)));
            written->append(added);
        }
        if (!FileTree::write(place.oldDir, oldEntry) || !FileTree::write(place.newSource, newEntry))
            return false;
    }
    return true;
}

// Many small files: fileCount files of 1-16 KiB in 15 folders of 20 folders each; of every 20 files 16
// stay as they are, 2 change in a few places, 1 is removed and 1 is new.
bool writeSmallFileTrees(const Place& place, int fileCount)
{
    printf("generating %d files of 1-16 KiB in 300 folders in %s...\n", fileCount,
           qPrintable(QFileInfo(place.oldDir).path()));
    for (int i = 0; i < fileCount; ++i) {
        FileTree::Entries oldEntries;
        FileTree::Entries newEntries;
        const int folder = i % 300;
        const QString dir = QString("part%1/set%2/").arg(folder / 20).arg(folder % 20);
        const QString name = dir + QString("file%1.dat").arg(i);
        const qsizetype size = 1024 + 4 * qsizetype(QRandomGenerator(quint32(i)).bounded(15 * 256 + 1));
        const QByteArray oldContent = randomData(size, quint32(i));
        const int kind = i % 20;
        if (kind != 19)
            oldEntries[name] = FileTree::file(oldContent);
        if (kind < 16) {
            newEntries[name] = FileTree::file(oldContent);
        } else if (kind < 18) {
            QByteArray changed = oldContent;
            for (qsizetype at = 128; at + 16 < changed.size(); at += 1024)
                changed.replace(at, 16, randomData(16, quint32(i) ^ 0x5a5a5a5a));
            newEntries[name] = FileTree::file(changed);
        } else if (kind == 19) {
            newEntries[dir + QString("new%1.dat").arg(i)] = FileTree::file(randomData(size, ~quint32(i)));
        } // kind 18: removed
        if (!FileTree::write(place.oldDir, oldEntries) || !FileTree::write(place.newSource, newEntries))
            return false;
    }
    return true;
}

bool buildDiff(const Place& place)
{
    printf("building the diff...\n");
    DirDiffWriter::Options options;
    options.compressDirData = true;
    options.compressSections = true;
    options.minMatchLength = 32;
    const DirDiff diff = DirDiffWriter::build(place.oldDir, place.newSource, options);
    if (!diff.save(place.diffPath))
        return false;
    printf("diff: %lld bytes\n", (long long)QFileInfo(place.diffPath).size());
    return true;
}

bool inPlaceOnDisk(const Place& place)
{
    printf("\n== on the disk of the work folder: dirpatch -f R diff R next to dirpatch R diff NEW\n");
    return inPlaceNextToNewFolder(place);
}

// The same on a file system of its own, where removing the old tree costs what the file system makes it cost
// rather than what the work folder's disk does (which may, for one, discard every freed block at once).
bool inPlaceOnXfs(const Place& diskPlace)
{
    printf("\n== on a loop-mounted XFS image of %lld GiB: dirpatch -f R diff R next to dirpatch R diff NEW\n",
           kXfsImageSize >> 30);
    ScratchMount xfs(ScratchMount::Xfs, kXfsImageSize);
    if (!xfs.isMounted()) {
        printf("  skipped: %s\n", qPrintable(xfs.whyNot()));
        return true;
    }
    return copyOnto(xfs, diskPlace) && inPlaceNextToNewFolder(placeIn(xfs.path()));
}
} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && QByteArray(argv[1]) == "--apply")
        return applyPatch(argv[2], argv[3], argv[4]);
    QCoreApplication app(argc, argv);
    const bool smallFiles = argc > 1 && QByteArray(argv[1]) == "--small-files";
    const int first = smallFiles ? 2 : 1; // the first argument after the mode
    QTemporaryDir temporary;
    const int workArgument = smallFiles ? first + 1 : first + 2;
    const QString work = argc > workArgument ? QDir(argv[workArgument]).absolutePath() : temporary.path();
    const Place place = placeIn(work);

    QStringList unchanged; // relative paths of the files the patch copies
    QStringList written;   // and of those it writes
    const bool isWritten =
        smallFiles
            ? writeSmallFileTrees(place, argc > first ? QByteArray(argv[first]).toInt() : 20000)
            : writeLargeTrees(place, argc > first ? QByteArray(argv[first]).toLongLong() : 1024,
                              argc > first + 1 ? QByteArray(argv[first + 1]).toInt() : 2000, &unchanged, &written);
    if (!isWritten || !buildDiff(place))
        return 1;
    // A timed command starts as a fork of this process, and what the fork holds until it runs the command
    // counts in the peak memory measured: give back what building the trees and the diff took.
    malloc_trim(0);
    printf("medians of %d interleaved runs, sync before each; load average at the start: %s\n", kRounds,
           qPrintable(loadAverages()));
    if (smallFiles) {
        const bool ok = inPlaceOnDisk(place);
        return inPlaceOnXfs(place) && ok ? 0 : 1;
    }
    bool ok = onDisk(argv[0], place);
    ok = onXfs(argv[0], place, unchanged, written) && ok;
    ok = inPlaceOnDisk(place) && ok;
    return ok ? 0 : 1;
}
