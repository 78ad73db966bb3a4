// Patches an old file into a new file of the same size (mostly covers, some changed stretches, every
// section zstd-compressed) through file streams, once per memory plan, each in a child process so that
// its peak memory is its own, and prints MB/s next to memcpy and a stdio file copy of the same data.

#include "patch/core/compressed_patch.h"
#include "patch/os/file_services.h"
#include "patch/os/zstd_decompress_plugin.h"
#include "support/Files.h"
#include "support/PatchWriter.h"
#include "support/PeakMemory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace
{
const qint64 kMiB = 1024 * 1024;

quint64 lcgState = 0x2545F4914F6CDD1Dull;
quint64 nextRandom()
{
    lcgState = lcgState * 6364136223846793005ull + 1442695040888963407ull;
    return lcgState >> 11;
}

// Covers of 4 KiB to 256 KiB taken from anywhere in the old data, with a few changed bytes inside and a
// changed stretch of new bytes between some of them.
PatchCase makeCase(qint64 size)
{
    PatchCase patchCase;
    patchCase.oldData.resize(size);
    for (qint64 i = 0; i + 8 <= size; i += 8) {
        const quint64 word = nextRandom();
        std::memcpy(patchCase.oldData.data() + i, &word, 8);
    }
    patchCase.newData.resize(size);
    qint64 pos = 0;
    while (pos < size) {
        if (nextRandom() % 10 == 0) {
            const qint64 gap = qMin<qint64>(size - pos, 256 + qint64(nextRandom() % 4096));
            for (qint64 i = 0; i < gap; ++i)
                patchCase.newData[pos + i] = char(nextRandom());
            pos += gap;
            continue;
        }
        const qint64 length = qMin<qint64>(size - pos, 4096 + qint64(nextRandom() % (252 * 1024)));
        const qint64 oldPos = qint64(nextRandom() % quint64(size - length + 1));
        std::memcpy(patchCase.newData.data() + pos, patchCase.oldData.constData() + oldPos, size_t(length));
        for (int k = 0; k < 4; ++k)
            patchCase.newData[pos + qint64(nextRandom() % quint64(length))] ^= char(1 + nextRandom() % 255);
        patchCase.covers.append({quint64(oldPos), quint64(pos), quint64(length)});
        pos += length;
    }
    return patchCase;
}

bool sameFiles(const QString& a, const QString& b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(8 * kMiB) != fb.read(8 * kMiB))
            return false;
    }
    return true;
}

double mbPerSecond(qint64 bytes, qint64 nanoseconds)
{
    return double(bytes) / double(kMiB) / (double(qMax<qint64>(nanoseconds, 1)) / 1e9);
}

// Child: one patch with a cache of memSize bytes; prints MB/s and peak memory.
int applyOnce(const QString& dir, size_t memSize)
{
    const QByteArray oldPath = QFile::encodeName(dir + "/old.bin");
    const QByteArray diffPath = QFile::encodeName(dir + "/patch.diff");
    const QByteArray newPath = QFile::encodeName(dir + "/new.bin");
    dpatch_TFileStreamInput oldFile = {};
    dpatch_TFileStreamInput diffFile = {};
    dpatch_TFileStreamOutput newFile = {};
    dpatch_TCompressedDiffInfo info;
    if (!dpatch_TFileStreamInput_open(&oldFile, oldPath.constData()) ||
        !dpatch_TFileStreamInput_open(&diffFile, diffPath.constData()) ||
        !getCompressedDiffInfo(&info, &diffFile.base) ||
        !dpatch_TFileStreamOutput_open(&newFile, newPath.constData(), info.newDataSize))
        return 1;
    // Touched before timing, as the buffers of the copies are: first-touch page faults are the system's
    // cost of the allocation, not the patcher's.
    std::unique_ptr<dpatch_byte[]> cache(new dpatch_byte[memSize]);
    std::memset(cache.get(), 0, memSize);
    QElapsedTimer timer;
    timer.start();
    const BOOL ok = patch_decompress_with_cache(&newFile.base, &oldFile.base, &diffFile.base, &zstdDecompressPlugin,
                                                cache.get(), cache.get() + memSize);
    const BOOL closed = dpatch_TFileStreamOutput_close(&newFile);
    const qint64 elapsed = timer.nsecsElapsed();
    dpatch_TFileStreamInput_close(&oldFile);
    dpatch_TFileStreamInput_close(&diffFile);
    std::printf("%8.1f MB/s  peak %6.1f MiB  (cache %6.1f MiB)\n", mbPerSecond(qint64(info.newDataSize), elapsed),
                double(peakResidentKiB()) / 1024.0, double(memSize) / double(kMiB));
    return ok && closed ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == "--apply")
        return applyOnce(args[2], size_t(args[3].toULongLong()));

    const qint64 size = (args.size() > 1 ? args[1].toLongLong() : 256) * kMiB;
    QTemporaryDir tempDir;
    const QString dir = args.size() > 2 ? args[2] : tempDir.path();
    {
        std::printf("generating %lld MiB of old and new data...\n", size / kMiB);
        const PatchCase patchCase = makeCase(size);
        const QByteArray diff = PatchWriter::compressedDiff(patchCase, PatchWriter::kAllSectionsCompressed).bytes();
        std::printf("%lld covers, diff %.1f MiB\n", qint64(patchCase.covers.size()), double(diff.size()) / kMiB);
        if (!writeFile(dir + "/old.bin", patchCase.oldData) || !writeFile(dir + "/expected.bin", patchCase.newData) ||
            !writeFile(dir + "/patch.diff", diff))
            return 1;
    }

    {
        std::vector<char> from(size_t(size), 1);
        std::vector<char> to(size_t(size), 0);
        QElapsedTimer timer;
        timer.start();
        std::memcpy(to.data(), from.data(), size_t(size));
        std::printf("memcpy                        %8.1f MB/s\n", mbPerSecond(size, timer.nsecsElapsed()));
    }
    {
        QElapsedTimer timer;
        timer.start();
        FILE* in = std::fopen(QFile::encodeName(dir + "/old.bin").constData(), "rb");
        FILE* out = std::fopen(QFile::encodeName(dir + "/copy.bin").constData(), "wb");
        std::vector<char> buf(static_cast<size_t>(kMiB));
        size_t n = 0;
        while (in != nullptr && out != nullptr && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0)
            std::fwrite(buf.data(), 1, n, out);
        if (in != nullptr)
            std::fclose(in);
        if (out != nullptr)
            std::fclose(out);
        std::printf("file copy                     %8.1f MB/s\n", mbPerSecond(size, timer.nsecsElapsed()));
        QFile::remove(dir + "/copy.bin");
    }

    struct Plan
    {
        const char* name;
        size_t memSize;
    };
    const Plan plans[] = {
        {"whole old data", size_t(size) + 6 * 4096 + 40 + size_t(8 * kMiB)},
        {"covers in memory with cache", size_t(64 * kMiB)},
        {"streaming", size_t(4 * kMiB)},
    };
    int failures = 0;
    for (const Plan& plan : plans) {
        std::printf("%-30s", plan.name);
        std::fflush(stdout);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(app.applicationFilePath(), {"--apply", dir, QString::number(plan.memSize)});
        child.waitForFinished(-1);
        const bool same = sameFiles(dir + "/new.bin", dir + "/expected.bin");
        if (child.exitCode() != 0 || !same) {
            std::printf("  FAILED\n");
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
