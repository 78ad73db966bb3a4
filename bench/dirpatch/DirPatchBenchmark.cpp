// Applies a directory diff that turns a generated old tree (1 GiB in about 2,000 files by default)
// into a new tree, 80% of whose files are copied unchanged, 15% changed in a few places and 5% new,
// with the launcher's settings (512 MiB cache, 24 open files), on two file systems, as medians of five
// interleaved runs, each timed step started after sync:
//   - on the disk of the work folder: the patch next to cp -r of the new tree;
//   - on a loop-mounted XFS image (which shares blocks between files; needs root and mkfs.xfs, skipped
//     with the reason otherwise): the patch next to the work no patch can avoid there, cloning the unchanged
//     files (cp --reflink=always) and writing the changed and new ones (cp --reflink=never).
// The patch runs in a child process of its own so that the memory it reports is the patch's alone.
//
//   build/bench/dirpatch/dirpatch_benchmark [MiB, default 1024] [files, default 2000] [work folder]

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
    printf("  runDirPatch / %s: %.2fx (target <= %.1fx: %s), new tree %s, peak memory of the patch %.0f MiB\n",
           qPrintable(anchor.name), patchMedian / anchorMedian, target,
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
    for (const QString& from : {diskPlace.oldDir, diskPlace.newSource, diskPlace.diffPath}) {
        if (runTimed({"cp", "-a", from, xfs.path()}).exitCode != 0) {
            printf("  can't copy %s onto the XFS image\n", qPrintable(from));
            return false;
        }
    }
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
} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && QByteArray(argv[1]) == "--apply")
        return applyPatch(argv[2], argv[3], argv[4]);
    QCoreApplication app(argc, argv);
    const qint64 totalMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const int fileCount = argc > 2 ? QByteArray(argv[2]).toInt() : 2000;
    const qsizetype fileSize = qsizetype(totalMiB * 1024 * 1024 / fileCount) & ~qsizetype(3);
    QTemporaryDir temporary;
    const QString work = argc > 3 ? QDir(argv[3]).absolutePath() : temporary.path();

    const Place place = placeIn(work);
    QStringList unchanged; // relative paths of the files the patch copies
    QStringList written;   // and of those it writes
    printf("generating %lld MiB in %d files of %lld bytes in %s...\n", (long long)totalMiB, fileCount,
           (long long)fileSize, qPrintable(work));
    for (int i = 0; i < fileCount; ++i) {
        const QString name = QString("dir%1/file%2.bin").arg(i % 20).arg(i);
        const QByteArray oldContent = randomData(fileSize, quint32(i));
        FileTree::Entries oldEntry{{name, FileTree::file(oldContent)}};
        FileTree::Entries newEntry;
        const int kind = i % 20; // 16 of 20 copied, 3 changed, 1 replaced by a new file
        if (kind < 16) {
            newEntry[name] = FileTree::file(oldContent);
            unchanged.append(name);
        } else if (kind < 19) {
            QByteArray changed = oldContent;
            for (qsizetype at = 4096; at + 64 < changed.size(); at += changed.size() / 8)
                changed.replace(at, 64, randomData(64, quint32(i) ^ 0x5a5a5a5a));
            newEntry[name] = FileTree::file(changed);
            written.append(name);
        } else {
            const QString added = QString("dir%1/new%2.bin").arg(i % 20).arg(i);
            newEntry[added] = FileTree::file(randomData(fileSize, ~quint32(i)));
            written.append(added);
        }
        if (!FileTree::write(place.oldDir, oldEntry) || !FileTree::write(place.newSource, newEntry))
            return 1;
    }
    {
        printf("building the diff...\n");
        DirDiffWriter::Options options;
        options.compressDirData = true;
        options.compressSections = true;
        options.minMatchLength = 32;
        const DirDiff diff = DirDiffWriter::build(place.oldDir, place.newSource, options);
        if (!diff.save(place.diffPath))
            return 1;
        printf("diff: %lld bytes\n", (long long)QFileInfo(place.diffPath).size());
    }
    printf("medians of %d interleaved runs, sync before each; load average at the start: %s\n", kRounds,
           qPrintable(loadAverages()));
    bool ok = onDisk(argv[0], place);
    ok = onXfs(argv[0], place, unchanged, written) && ok;
    return ok ? 0 : 1;
}
