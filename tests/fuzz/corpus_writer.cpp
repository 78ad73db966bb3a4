// Writes the seed corpus of fuzz_compressed_patch into the folder given as its argument: diffs made
// by the test writer against the generated old data, with every section stored as is or compressed,
// every run type, zero-length covers, a dense diff big enough for the covers-in-memory plan, and
// raw diffs. Each file is one selector byte followed by the diff.

#include "fuzz_old_data.h"
#include "support/PatchWriter.h"

#include <QDir>
#include <QFile>
#include <cstdio>

namespace
{
// The case's old data replaced by the fuzz target's, keeping the difference bytes inside covers.
PatchCase withFuzzOldData(const PatchCase& patchCase)
{
    PatchCase result = patchCase;
    const std::vector<dpatch_byte> old = fuzzOldData(dpatch_StreamPos_t(patchCase.oldData.size()));
    result.oldData = QByteArray((const char*)old.data(), qsizetype(old.size()));
    for (const PatchCover& cover : patchCase.covers) {
        for (quint64 i = 0; i < cover.length; ++i) {
            const qsizetype n = qsizetype(cover.newPos + i);
            const qsizetype o = qsizetype(cover.oldPos + i);
            const quint8 delta = quint8(patchCase.newData[n]) - quint8(patchCase.oldData[o]);
            result.newData[n] = char(quint8(result.oldData[o]) + delta);
        }
    }
    return result;
}

// Covers back to back over the whole new data, so the diff stays small however large the data.
PatchCase denseCase(int size, int coverCount)
{
    PatchCase patchCase = PatchWriter::randomCase(99, size, size, 0);
    const quint64 length = quint64(size / coverCount);
    for (int i = 0; i < coverCount; ++i) {
        const quint64 oldPos = (quint64(i) * 7919 * 4096) % (quint64(size) - length);
        patchCase.covers.append({oldPos, quint64(i) * length, length});
    }
    for (const PatchCover& cover : patchCase.covers)
        patchCase.newData.replace(qsizetype(cover.newPos), qsizetype(cover.length),
                                  patchCase.oldData.mid(qsizetype(cover.oldPos), qsizetype(cover.length)));
    patchCase.newData[1000] = char(patchCase.newData[1000] ^ 0x5A);
    return patchCase;
}

bool writeSeed(const QDir& dir, const QString& name, quint8 selector, const QByteArray& diff)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    return file.write(QByteArray(1, char(selector)) + diff) == diff.size() + 1;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath("."))
        return 1;
    bool ok = writeSeed(dir, "seed-minimal", 0, QByteArray("HDIFF13&\0\0\0\0\0\0\0\0\0\0\0\0", 20));
    struct Shape
    {
        const char* name;
        int oldSize;
        int newSize;
        int coverCount;
        bool zeroLength;
    };
    const Shape shapes[] = {
        {"small", 3000, 4000, 12, false},
        {"medium", 20000, 26000, 60, false},
        {"zero-length-covers", 8000, 9000, 30, true},
        {"no-covers", 500, 700, 0, false},
    };
    for (const Shape& shape : shapes) {
        const PatchCase patchCase = withFuzzOldData(PatchWriter::randomCase(
            quint32(shape.oldSize), shape.oldSize, shape.newSize, shape.coverCount, shape.zeroLength));
        for (int mask : {0, 0x5, 0xA, PatchWriter::kAllSectionsCompressed}) {
            const QString name = QString("seed-%1-sections-%2").arg(shape.name).arg(mask, 1, 16);
            ok = ok && writeSeed(dir, name, quint8(mask * 3), PatchWriter::compressedDiff(patchCase, mask).bytes());
        }
        ok = ok && writeSeed(dir, QString("seed-%1-short-runs").arg(shape.name), 1,
                             PatchWriter::compressedDiff(patchCase, 0, 3).bytes());
        ok = ok && writeSeed(dir, QString("seed-%1-raw").arg(shape.name), 0x80 | 3, PatchWriter::rawDiff(patchCase));
    }
    const PatchCase dense = withFuzzOldData(denseCase(1200 * 1024, 400));
    ok = ok && writeSeed(dir, "seed-dense-covers-in-memory", 17,
                         PatchWriter::compressedDiff(dense, PatchWriter::kAllSectionsCompressed).bytes());
    return ok ? 0 : 1;
}
