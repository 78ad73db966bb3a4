// Applies a directory diff that turns a generated old tree (1 GiB in about 2,000 files by default)
// into a new tree, 80% of whose files are copied unchanged, 15% changed in a few places and 5% new,
// with the launcher's settings (512 MiB cache, 24 open files), and prints the time next to cp -r of
// the new tree and the patch's peak memory. The patch runs in a child process of its own so that the
// memory it reports is the patch's alone.

#include "patch/dir_patch_driver.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
const size_t kLauncherCache = 512u * 1024 * 1024;
const size_t kLauncherOpenFiles = 24;

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

double seconds(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
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

    QTemporaryDir work;
    const QString oldDir = work.path() + "/old";
    const QString newSource = work.path() + "/new-source";
    const QString outDir = work.path() + "/out";
    const QString copyDir = work.path() + "/copy";
    const QString diffPath = work.path() + "/patch.diff";
    printf("generating %lld MiB in %d files of %lld bytes...\n", (long long)totalMiB, fileCount, (long long)fileSize);
    for (int i = 0; i < fileCount; ++i) {
        const QString name = QString("dir%1/file%2.bin").arg(i % 20).arg(i);
        const QByteArray oldContent = randomData(fileSize, quint32(i));
        FileTree::Entries oldEntry{{name, FileTree::file(oldContent)}};
        FileTree::Entries newEntry;
        const int kind = i % 20; // 16 of 20 copied, 3 changed, 1 replaced by a new file
        if (kind < 16)
            newEntry[name] = FileTree::file(oldContent);
        else if (kind < 19) {
            QByteArray changed = oldContent;
            for (qsizetype at = 4096; at + 64 < changed.size(); at += changed.size() / 8)
                changed.replace(at, 64, randomData(64, quint32(i) ^ 0x5a5a5a5a));
            newEntry[name] = FileTree::file(changed);
        } else
            newEntry[QString("dir%1/new%2.bin").arg(i % 20).arg(i)] = FileTree::file(randomData(fileSize, ~quint32(i)));
        if (!FileTree::write(oldDir, oldEntry) || !FileTree::write(newSource, newEntry))
            return 1;
    }
    {
        printf("building the diff...\n");
        DirDiffWriter::Options options;
        options.compressDirData = true;
        options.compressSections = true;
        options.minMatchLength = 32;
        const DirDiff diff = DirDiffWriter::build(oldDir, newSource, options);
        if (!diff.save(diffPath))
            return 1;
        printf("diff: %lld bytes\n", (long long)QFileInfo(diffPath).size());
    }
    sync();

    QElapsedTimer copyTimer;
    copyTimer.start();
    const QByteArray copyCommand = "cp -r '" + newSource.toUtf8() + "' '" + copyDir.toUtf8() + "'";
    if (system(copyCommand.constData()) != 0)
        return 1;
    const double copySeconds = seconds(copyTimer);

    // each timed step starts with nothing left to write back from the steps before it
    sync();
    fflush(stdout);
    QElapsedTimer patchTimer;
    patchTimer.start();
    const pid_t child = fork();
    if (child == 0) {
        const QByteArray oldArg = oldDir.toUtf8();
        const QByteArray diffArg = diffPath.toUtf8();
        const QByteArray outArg = outDir.toUtf8();
        if (!getenv("DIRPATCH_BENCH_VERBOSE"))
            freopen("/dev/null", "w", stdout);
        execl(argv[0], argv[0], "--apply", oldArg.constData(), diffArg.constData(), outArg.constData(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    wait4(child, &status, 0, &usage);
    const double patchSeconds = seconds(patchTimer);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const bool same = FileTree::read(outDir) == FileTree::read(newSource);

    printf("cp -r of the new tree: %.2f s\n", copySeconds);
    printf("runDirPatch:           %.2f s (%.2fx cp -r), result %d, tree %s\n", patchSeconds,
           patchSeconds / copySeconds, code, same ? "identical" : "DIFFERENT");
    printf("peak memory of the patch: %.1f MiB (cache limit %zu MiB)\n", double(usage.ru_maxrss) / 1024.0,
           kLauncherCache >> 20);
    return code == 0 && same ? 0 : 1;
}
