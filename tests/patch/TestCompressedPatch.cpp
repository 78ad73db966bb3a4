// Applying "HDIFF13" diffs through memory streams: round trips in every memory plan, a table of
// corrupt diffs that must all fail cleanly, and the boundary cases of the patch loop.

#include "patch/core/compressed_diff.h"
#include "patch/core/compressed_patch.h"
#include "patch/core/memory_planner.h"
#include "patch/core/streams.h"
#include "patch/os/file_services.h"
#include "patch/os/zstd_decompress_plugin.h"
#include "support/CountingDecompressPlugin.h"
#include "support/GuardedMemory.h"
#include "support/PatchRun.h"
#include "support/PatchWriter.h"
#include "support/RecordingInputStream.h"
#include "support/SequentialOutputStream.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <vector>

namespace
{
// The smallest diff there is: magic, '&', an empty compress type and eleven zero varints.
const char kMinimalDiff[] = "HDIFF13&\0\0\0\0\0\0\0\0\0\0\0\0";
const int kMinimalDiffSize = 20;

enum class Plan
{
    WholeOldData,
    Streaming,
    CoverReader,
    CoverArray,
    CoverArrayWithCache,
};

const char* planName(Plan plan)
{
    switch (plan) {
    case Plan::WholeOldData:
        return "whole old data";
    case Plan::Streaming:
        return "streaming";
    case Plan::CoverReader:
        return "cover reader";
    case Plan::CoverArray:
        return "cover array";
    case Plan::CoverArrayWithCache:
        return "cover array with cache";
    }
    return "";
}

// Which plan the memory planner picks for this diff and range.
Plan plannedPlan(const QByteArray& oldData, quint64 newSize, const QByteArray& diffBytes,
                 const dpatch_TDecompressPlugin* plugin, size_t memSize)
{
    RecordingInputStream old(oldData);
    const dpatch_TStreamInput* oldStream = old.stream();
    dpatch_TStreamInput diff;
    dpatch_memStreamInput_init(&diff, (const dpatch_byte*)diffBytes.constData(),
                               (const dpatch_byte*)diffBytes.constData() + diffBytes.size());
    std::vector<dpatch_byte> mem(memSize);
    dpatch_byte* cache = mem.data();
    dpatch_byte* cacheEnd = mem.data() + mem.size();
    dpatch_TCovers* covers = nullptr;
    int isReadError = 0;
    const BOOL replaced =
        _patch_prepare_cache(&covers, &oldStream, newSize, &diff, 1, plugin, 6, &cache, &cacheEnd, &isReadError);
    Plan plan = Plan::Streaming;
    if (covers == nullptr)
        plan = replaced ? Plan::WholeOldData : Plan::Streaming;
    else if (cacheEnd != mem.data() + mem.size())
        plan = Plan::CoverReader;
    else
        plan = replaced ? Plan::CoverArrayWithCache : Plan::CoverArray;
    if (covers != nullptr)
        covers->close(covers);
    return plan;
}

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray result;
    for (int v : values)
        result.append(char(v));
    return result;
}

// Replaces the cover section (stored as is) and the cover count of a diff.
void setCoverSection(PatchWriter::CompressedDiff* diff, const QByteArray& section, quint64 coverCount)
{
    using D = PatchWriter::CompressedDiff;
    diff->sections[PatchWriter::CoverSection] = section;
    diff->head[size_t(D::decodedSizeIndex(PatchWriter::CoverSection))] = quint64(section.size());
    diff->head[size_t(D::compressedSizeIndex(PatchWriter::CoverSection))] = 0;
    diff->head[D::kCoverCountIndex] = coverCount;
}

QByteArray coverBytes(qint64 oldIncrement, quint64 newIncrement, quint64 length)
{
    const QByteArray old = oldIncrement < 0 ? PatchWriter::packUInt(quint64(-oldIncrement), 1, 1)
                                            : PatchWriter::packUInt(quint64(oldIncrement), 1, 0);
    return old + PatchWriter::packUInt(newIncrement) + PatchWriter::packUInt(length);
}

const size_t kSmallOld = 256 * 1024;
const size_t kLargeOld = 1536 * 1024;
} // namespace

Q_DECLARE_METATYPE(Plan)

class TestCompressedPatch : public QObject
{
    Q_OBJECT
private slots:
    void minimalDiffReadsAndApplies();
    void roundTrip_data();
    void roundTrip();
    void zeroLengthCoversGiveTheSameResultInEveryPlan_data();
    void zeroLengthCoversGiveTheSameResultInEveryPlan();
    void corruptionBaseAppliesInEveryPlan();
    void corruptDiffFailsCleanly_data();
    void corruptDiffFailsCleanly();
    void memoryPartLimits();
    void diffWithoutCoversCopiesTheNewDataSection();
    void oldSizeMismatchFailsBeforeAnyRead_data();
    void oldSizeMismatchFailsBeforeAnyRead();
    void coverBoundaries_data();
    void coverBoundaries();
    void rawSectionsNeedNoPluginWhateverTheTypeText();
    void copyRunSpansTheGapBetweenCovers();
    void failingCloseFailsThePatch();
    void fixedMemoryVariantAppliesTheSameDiff();
    void roundTripThroughFileStreams_data();
    void roundTripThroughFileStreams();
};

void TestCompressedPatch::minimalDiffReadsAndApplies()
{
    QCOMPARE(int(sizeof(kMinimalDiff)) - 1, kMinimalDiffSize);
    const QByteArray minimal(kMinimalDiff, kMinimalDiffSize);
    dpatch_TStreamInput diff;
    dpatch_memStreamInput_init(&diff, (const dpatch_byte*)minimal.constData(),
                               (const dpatch_byte*)minimal.constData() + minimal.size());
    dpatch_TCompressedDiffInfo info;
    _TCompressedDiffHead head;
    QVERIFY(_read_compressed_diff_head(&info, &head, &diff));
    QCOMPARE(QByteArray(info.compressType), QByteArray());
    QCOMPARE(info.compressedSectionCount, 0);
    QCOMPARE(head.headEndPos, dpatch_StreamPos_t(20));
    QCOMPARE(head.coverEndPos, dpatch_StreamPos_t(20));

    for (size_t memSize : {size_t(1560), size_t(1 << 20)}) {
        SequentialOutputStream out(0);
        RecordingInputStream old(QByteArray{});
        std::vector<dpatch_byte> cache(memSize);
        QVERIFY(patch_decompress_with_cache(out.stream(), old.stream(), &diff, nullptr, cache.data(),
                                            cache.data() + cache.size()));
        QCOMPARE(out.writeCount, 0);
    }
    SequentialOutputStream out(0);
    RecordingInputStream old(QByteArray{});
    QVERIFY(patch_decompress(out.stream(), old.stream(), &diff, nullptr));
    QCOMPARE(out.writeCount, 0);
}

void TestCompressedPatch::roundTrip_data()
{
    QTest::addColumn<int>("oldSize");
    QTest::addColumn<int>("newSize");
    QTest::addColumn<int>("coverCount");
    QTest::addColumn<int>("memSize");
    QTest::addColumn<Plan>("plan");
    QTest::addColumn<int>("compressMask");
    QTest::addColumn<int>("maxRun");

    struct Shape
    {
        const char* name;
        int oldSize;
        int newSize;
        int coverCount;
        int memSize;
        Plan plan;
    };
    const Shape shapes[] = {
        {"whole old data", int(kSmallOld), 300 * 1024, 200, int(kSmallOld) + 6 * 4096 + 40, Plan::WholeOldData},
        {"streaming", int(kSmallOld), 300 * 1024, 200, 64 * 1024, Plan::Streaming},
        {"streaming in smallest parts", int(kSmallOld), 300 * 1024, 200, 1560, Plan::Streaming},
        {"cover array with cache", int(kLargeOld), int(kLargeOld), 300, 1200 * 1024, Plan::CoverArrayWithCache},
        {"cover reader kept in memory", int(kLargeOld), int(kLargeOld), 60000, 1024 * 1024, Plan::CoverReader},
        {"cover array without cache", int(kLargeOld), int(kLargeOld), 60000, 1200 * 1024, Plan::CoverArray},
    };
    for (const Shape& shape : shapes) {
        for (int mask = 0; mask < 16; ++mask) {
            QTest::addRow("%s, compressed sections %x", shape.name, mask)
                << shape.oldSize << shape.newSize << shape.coverCount << shape.memSize << shape.plan << mask << 0;
        }
    }
    QTest::newRow("runs cut short cross covers and gaps")
        << int(kSmallOld) << 300 * 1024 << 200 << 64 * 1024 << Plan::Streaming << 0 << 5;
}

void TestCompressedPatch::roundTrip()
{
    QFETCH(int, oldSize);
    QFETCH(int, newSize);
    QFETCH(int, coverCount);
    QFETCH(int, memSize);
    QFETCH(Plan, plan);
    QFETCH(int, compressMask);
    QFETCH(int, maxRun);

    const PatchCase patchCase = PatchWriter::randomCase(quint32(oldSize + coverCount), oldSize, newSize, coverCount);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase, compressMask, maxRun).bytes();
    CountingDecompressPlugin counting(&zstdDecompressPlugin);

    QCOMPARE(planName(plannedPlan(patchCase.oldData, quint64(newSize), diff, counting.plugin(), size_t(memSize))),
             planName(plan));
    QCOMPARE(counting.openHandles(), 0);

    const PatchOutcome outcome =
        applyCompressedDiff(patchCase.oldData, quint64(newSize), diff, counting.plugin(), size_t(memSize));
    QVERIFY(outcome.ok);
    QVERIFY(outcome.sequential);
    QVERIFY(outcome.written == patchCase.newData);
    QVERIFY(outcome.guardsIntact);
    QCOMPARE(counting.openHandles(), 0);
    QCOMPARE(counting.openCount() > 0, compressMask != 0);
}

void TestCompressedPatch::zeroLengthCoversGiveTheSameResultInEveryPlan_data()
{
    QTest::addColumn<int>("memSize");
    QTest::addColumn<Plan>("plan");
    QTest::newRow("whole old data") << int(kLargeOld) + 6 * 4096 + 40 << Plan::WholeOldData;
    QTest::newRow("streaming") << 256 * 1024 << Plan::Streaming;
    QTest::newRow("cover array with cache") << 1200 * 1024 << Plan::CoverArrayWithCache;
}

void TestCompressedPatch::zeroLengthCoversGiveTheSameResultInEveryPlan()
{
    QFETCH(int, memSize);
    QFETCH(Plan, plan);
    const PatchCase patchCase = PatchWriter::randomCase(7, int(kLargeOld), int(kLargeOld), 300, true);
    int zeroLength = 0;
    for (const PatchCover& cover : patchCase.covers)
        zeroLength += cover.length == 0;
    QVERIFY(zeroLength > 10);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase).bytes();
    QCOMPARE(planName(plannedPlan(patchCase.oldData, patchCase.newData.size(), diff, nullptr, size_t(memSize))),
             planName(plan));
    const PatchOutcome outcome =
        applyCompressedDiff(patchCase.oldData, quint64(patchCase.newData.size()), diff, nullptr, size_t(memSize));
    QVERIFY(outcome.ok);
    QVERIFY(outcome.written == patchCase.newData);
}

namespace
{
// The corruption table's case, and the memory sizes that take it through streaming, covers in memory
// with the old-data cache, and whole old data.
PatchCase corruptionBase()
{
    return PatchWriter::randomCase(11, 1000 * 1000, 1000 * 1000, 40);
}
const size_t kCorruptionMemSizes[] = {8 * 1024, 950 * 1000, 1100 * 1000};
const Plan kCorruptionPlans[] = {Plan::Streaming, Plan::CoverArrayWithCache, Plan::WholeOldData};
} // namespace

void TestCompressedPatch::corruptionBaseAppliesInEveryPlan()
{
    const PatchCase patchCase = corruptionBase();
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    for (int mask : {0, PatchWriter::kAllSectionsCompressed}) {
        const QByteArray diff = PatchWriter::compressedDiff(patchCase, mask).bytes();
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(planName(plannedPlan(patchCase.oldData, quint64(patchCase.newData.size()), diff, counting.plugin(),
                                          kCorruptionMemSizes[i])),
                     planName(kCorruptionPlans[i]));
            const PatchOutcome outcome = applyCompressedDiff(patchCase.oldData, quint64(patchCase.newData.size()), diff,
                                                             counting.plugin(), kCorruptionMemSizes[i]);
            QVERIFY(outcome.ok);
            QVERIFY(outcome.written == patchCase.newData);
        }
    }
}

void TestCompressedPatch::corruptDiffFailsCleanly_data()
{
    using D = PatchWriter::CompressedDiff;
    QTest::addColumn<QByteArray>("diff");
    QTest::addColumn<bool>("withPlugin");

    const PatchCase patchCase = corruptionBase();
    static const char* const headNames[] = {
        "newDataSize",
        "oldDataSize",
        "coverCount",
        "coverBufSize",
        "compressedCoverBufSize",
        "rleCtrlBufSize",
        "compressedRleCtrlBufSize",
        "rleCodeBufSize",
        "compressedRleCodeBufSize",
        "newDataDiffSize",
        "compressedNewDataDiffSize",
    };
    for (int mask : {0, PatchWriter::kAllSectionsCompressed}) {
        const D good = PatchWriter::compressedDiff(patchCase, mask);
        const QByteArray bytes = good.bytes();
        for (int i = 0; i < 11; ++i) {
            for (int delta : {-1, 1}) {
                D bad = good;
                bad.head[size_t(i)] += quint64(qint64(delta));
                QTest::addRow("mask %x: %s %+d", mask, headNames[i], delta) << bad.bytes() << true;
            }
        }
        for (int section = 0; section < PatchWriter::kSectionCount; ++section) {
            const qsizetype offset = good.sectionOffset(section);
            QTest::addRow("mask %x: cut before section %d", mask, section) << bytes.left(offset) << true;
            QTest::addRow("mask %x: cut one byte into section %d", mask, section) << bytes.left(offset + 1) << true;
        }
        QTest::addRow("mask %x: cut inside the head", mask) << bytes.left(15) << true;
        QTest::addRow("mask %x: last byte missing", mask) << bytes.left(bytes.size() - 1) << true;
        QTest::addRow("mask %x: one trailing byte", mask) << bytes + '\0' << true;
    }

    const D compressed = PatchWriter::compressedDiff(patchCase, PatchWriter::kAllSectionsCompressed);
    for (int section = 0; section < PatchWriter::kSectionCount; ++section) {
        D bad = compressed;
        bad.sections[size_t(section)][0] = char(bad.sections[size_t(section)][0] ^ 0x40); // frame magic
        QTest::addRow("corrupt zstd byte in section %d", section) << bad.bytes() << true;
        const D single = PatchWriter::compressedDiff(patchCase, 1 << section);
        QTest::addRow("compressed section %d without a plugin", section) << single.bytes() << false;
    }
    D unknownType = compressed;
    unknownType.compressType = "zstd2";
    QTest::newRow("plugin refuses the type") << unknownType.bytes() << true;

    const quint64 oldSize = quint64(patchCase.oldData.size());
    const quint64 newSize = quint64(patchCase.newData.size());
    // Each cover section replaces the one of a diff made for the base covers, so that apart from the
    // cover the diff is consistent and only the cover check can refuse it.
    struct CoverRow
    {
        const char* name;
        QList<PatchCover> base;
        QByteArray section;
        quint64 count;
    };
    const quint64 big = quint64(1) << 32;
    const CoverRow coverRows[] = {
        {"old range passes the old size", {{0, 0, 11}}, coverBytes(qint64(oldSize) - 10, 0, 11), 1},
        {"new range passes the new size", {{0, 0, 11}}, coverBytes(0, newSize - 10, 11), 1},
        {"old position wraps below zero", {{0, 0, 10}}, coverBytes(-1, 0, 10), 1},
        {"old position past the old size", {{0, 0, 0}}, coverBytes(qint64(oldSize) + 1, 0, 0), 1},
        {"overlaps the previous cover",
         {{0, 0, 10}, {10, 10, 10}},
         coverBytes(0, 0, 10) + coverBytes(0, quint64(-5), 10),
         2},
        {"length wraps the new position", {{0, 10, 10}}, coverBytes(0, 10, quint64(-5)), 1},
        // Covers kept in memory use 32-bit items for data this small; such values must not be cut short.
        {"old position beyond 32 bits", {{0, 0, 10}}, coverBytes(qint64(big), 0, 10), 1},
        {"new position beyond 32 bits", {{0, 0, 10}}, coverBytes(0, big, 10), 1},
        {"length beyond 32 bits", {{0, 0, 10}}, coverBytes(0, 0, big + 10), 1},
        {"more covers than the section holds", {{0, 0, 10}}, coverBytes(0, 0, 10), 1000000000000ull},
        {"cover count beyond memory", {{0, 0, 10}}, coverBytes(0, 0, 10), quint64(-1) / 8},
    };
    for (const CoverRow& row : coverRows) {
        PatchCase base = patchCase;
        base.covers = row.base;
        D bad = PatchWriter::compressedDiff(base);
        setCoverSection(&bad, row.section, row.count);
        QTest::newRow(row.name) << bad.bytes() << true;
    }
}

void TestCompressedPatch::corruptDiffFailsCleanly()
{
    QFETCH(QByteArray, diff);
    QFETCH(bool, withPlugin);
    const PatchCase patchCase = corruptionBase();
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    // Streaming, covers in memory (with cache) and whole old data take different roads through the diff.
    for (size_t memSize : kCorruptionMemSizes) {
        const PatchOutcome outcome = applyCompressedDiff(patchCase.oldData, quint64(patchCase.newData.size()), diff,
                                                         withPlugin ? counting.plugin() : nullptr, memSize);
        QVERIFY2(!outcome.ok, qPrintable(QString("memory %1").arg(memSize)));
        QVERIFY(outcome.sequential);
        QVERIFY(outcome.guardsIntact);
        QCOMPARE(counting.openHandles(), 0);
    }
}

void TestCompressedPatch::memoryPartLimits()
{
    const PatchCase patchCase = PatchWriter::randomCase(3, 4000, 5000, 5);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase).bytes();
    QVERIFY(!applyCompressedDiff(patchCase.oldData, 5000, diff, nullptr, 1559).ok);
    const PatchOutcome atLimit = applyCompressedDiff(patchCase.oldData, 5000, diff, nullptr, 1560);
    QVERIFY(atLimit.ok);
    QVERIFY(atLimit.written == patchCase.newData);

    // With the covers coming from elsewhere the range holds five parts.
    for (int memSize : {1299, 1300}) {
        dpatch_TStreamInput diffStream;
        dpatch_memStreamInput_init(&diffStream, (const dpatch_byte*)diff.constData(),
                                   (const dpatch_byte*)diff.constData() + diff.size());
        dpatch_TCoverList list;
        QVERIFY(dpatch_coverList_open_compressedDiff(&list, &diffStream, nullptr));
        RecordingInputStream old(patchCase.oldData);
        SequentialOutputStream out(5000);
        GuardedMemory mem{size_t(memSize)};
        const BOOL ok = _patch_decompress_clips(out.stream(), old.stream(), &diffStream, nullptr, list.covers,
                                                mem.begin(), mem.end());
        QVERIFY(list.covers->close(list.covers));
        QCOMPARE(bool(ok), memSize == 1300);
        if (ok)
            QVERIFY(out.written() == patchCase.newData);
        QVERIFY(mem.guardsIntact());
    }
}

void TestCompressedPatch::diffWithoutCoversCopiesTheNewDataSection()
{
    PatchCase patchCase = PatchWriter::randomCase(5, 1000, 3000, 0);
    QVERIFY(patchCase.covers.isEmpty());
    const PatchWriter::CompressedDiff diff = PatchWriter::compressedDiff(patchCase);
    QCOMPARE(diff.sections[PatchWriter::NewDataSection], patchCase.newData);
    QVERIFY(!diff.sections[PatchWriter::RleCtrlSection].isEmpty()); // the runs still span the new size
    for (size_t memSize : {size_t(2000), size_t(64 * 1024)}) {
        const PatchOutcome outcome = applyCompressedDiff(patchCase.oldData, 3000, diff.bytes(), nullptr, memSize);
        QVERIFY(outcome.ok);
        QVERIFY(outcome.written == patchCase.newData);
    }

    // Runs that stop one byte short of the new size leave the patch incomplete.
    PatchWriter::CompressedDiff shortRuns = diff;
    const QByteArray ctrl = PatchWriter::packUInt(2998, 2, 0);
    shortRuns.sections[PatchWriter::RleCtrlSection] = ctrl;
    shortRuns.head[size_t(PatchWriter::CompressedDiff::decodedSizeIndex(PatchWriter::RleCtrlSection))] =
        quint64(ctrl.size());
    QVERIFY(!applyCompressedDiff(patchCase.oldData, 3000, shortRuns.bytes(), nullptr, 64 * 1024).ok);
}

void TestCompressedPatch::oldSizeMismatchFailsBeforeAnyRead_data()
{
    QTest::addColumn<qint64>("delta");
    QTest::addColumn<int>("memSize");
    QTest::newRow("one byte more, streaming") << qint64(1) << 8 * 1024;
    QTest::newRow("one byte less, streaming") << qint64(-1) << 8 * 1024;
    QTest::newRow("one byte more, covers in memory") << qint64(1) << 1200 * 1024;
    QTest::newRow("one byte less, covers in memory") << qint64(-1) << 1200 * 1024;
}

void TestCompressedPatch::oldSizeMismatchFailsBeforeAnyRead()
{
    QFETCH(qint64, delta);
    QFETCH(int, memSize);
    const PatchCase patchCase = PatchWriter::randomCase(9, int(kLargeOld), 2000, 10);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase).bytes();
    QByteArray oldData = patchCase.oldData;
    if (delta > 0)
        oldData.append('\0');
    else
        oldData.chop(1);
    RecordingInputStream old(oldData);
    SequentialOutputStream out(2000);
    dpatch_TStreamInput diffStream;
    dpatch_memStreamInput_init(&diffStream, (const dpatch_byte*)diff.constData(),
                               (const dpatch_byte*)diff.constData() + diff.size());
    std::vector<dpatch_byte> mem{std::vector<dpatch_byte>(size_t(memSize))};
    QVERIFY(!patch_decompress_with_cache(out.stream(), old.stream(), &diffStream, nullptr, mem.data(),
                                         mem.data() + mem.size()));
    QCOMPARE(old.reads.size(), 0);
    QCOMPARE(out.writeCount, 0);
}

void TestCompressedPatch::coverBoundaries_data()
{
    QTest::addColumn<QByteArray>("coverSection");
    QTest::addColumn<quint64>("coverCount");
    QTest::addColumn<bool>("ok");
    // Old and new data are 100 bytes each.
    QTest::newRow("cover ends exactly at the new size") << coverBytes(0, 90, 10) << quint64(1) << true;
    QTest::newRow("cover ends exactly at the old size") << coverBytes(90, 0, 10) << quint64(1) << true;
    QTest::newRow("cover starts where the previous ended")
        << coverBytes(0, 0, 10) + coverBytes(-10, 0, 10) << quint64(2) << true;
    QTest::newRow("cover overlaps the previous one")
        << coverBytes(0, 0, 10) + coverBytes(0, quint64(-1), 10) << quint64(2) << false;
    QTest::newRow("cover passes the new size by one") << coverBytes(0, 90, 11) << quint64(1) << false;
    QTest::newRow("cover passes the old size by one") << coverBytes(90, 0, 11) << quint64(1) << false;
    QTest::newRow("zero-length cover at the very end") << coverBytes(100, 100, 0) << quint64(1) << true;
}

void TestCompressedPatch::coverBoundaries()
{
    QFETCH(QByteArray, coverSection);
    QFETCH(quint64, coverCount);
    QFETCH(bool, ok);
    // The RLE sequence is all zeros, so every covered byte is the old byte.
    PatchCase patchCase = PatchWriter::randomCase(13, 100, 100, 0);
    PatchWriter::CompressedDiff diff = PatchWriter::compressedDiff(patchCase);
    setCoverSection(&diff, coverSection, coverCount);
    if (ok) {
        // Work out the expected new data and its new-data section from the covers themselves.
        dpatch_TStreamInput coverStream;
        dpatch_memStreamInput_init(&coverStream, (const dpatch_byte*)coverSection.constData(),
                                   (const dpatch_byte*)coverSection.constData() + coverSection.size());
        dpatch_byte cache[64];
        TStreamCacheClip clip;
        _TStreamCacheClip_init(&clip, &coverStream, 0, coverStream.streamSize, cache, sizeof(cache));
        _TStreamCovers covers;
        _TStreamCovers_init(&covers, coverCount, &clip, &clip, &clip, 1);
        patchCase.covers.clear();
        for (quint64 i = 0; i < coverCount; ++i) {
            dpatch_TCover cover;
            QVERIFY(covers.base.readCover(&covers.base, &cover));
            patchCase.covers.append({cover.oldPos, cover.newPos, cover.length});
            patchCase.newData.replace(qsizetype(cover.newPos), qsizetype(cover.length),
                                      patchCase.oldData.mid(qsizetype(cover.oldPos), qsizetype(cover.length)));
        }
        const PatchWriter::CompressedDiff rebuilt = PatchWriter::compressedDiff(patchCase);
        QCOMPARE(rebuilt.sections[PatchWriter::CoverSection], coverSection);
        diff = rebuilt;
    }
    for (size_t memSize : {size_t(2000), size_t(64 * 1024)}) {
        const PatchOutcome outcome = applyCompressedDiff(patchCase.oldData, 100, diff.bytes(), nullptr, memSize);
        QCOMPARE(outcome.ok, ok);
        if (ok)
            QVERIFY(outcome.written == patchCase.newData);
    }
}

void TestCompressedPatch::rawSectionsNeedNoPluginWhateverTheTypeText()
{
    const PatchCase patchCase = PatchWriter::randomCase(17, 5000, 6000, 20);
    PatchWriter::CompressedDiff diff = PatchWriter::compressedDiff(patchCase);
    diff.compressType = "zstd";
    const PatchOutcome outcome = applyCompressedDiff(patchCase.oldData, 6000, diff.bytes(), nullptr, 64 * 1024);
    QVERIFY(outcome.ok);
    QVERIFY(outcome.written == patchCase.newData);
}

void TestCompressedPatch::copyRunSpansTheGapBetweenCovers()
{
    // Covers [0,4) and [6,10) of ten new bytes; one copy run of ten code bytes covers both and the gap,
    // whose two code bytes are read and dropped.
    PatchCase patchCase;
    patchCase.oldData = bytesOf({10, 20, 30, 40, 50, 60, 70, 80, 90, 100});
    patchCase.newData = QByteArray(10, '\0');
    patchCase.covers = {{0, 0, 4}, {4, 6, 4}};
    PatchWriter::CompressedDiff diff = PatchWriter::compressedDiff(patchCase);
    const QByteArray code = bytesOf({1, 2, 3, 4, 0x55, 0x66, 5, 6, 7, 8});
    diff.sections[PatchWriter::RleCtrlSection] = PatchWriter::packUInt(9, 2, 3);
    diff.sections[PatchWriter::RleCodeSection] = code;
    diff.sections[PatchWriter::NewDataSection] = bytesOf({0xEE, 0xEF});
    diff.head = {10, 10, 2, quint64(diff.sections[0].size()), 0, 1, 0, 10, 0, 2, 0};
    const PatchOutcome outcome = applyCompressedDiff(patchCase.oldData, 10, diff.bytes(), nullptr, 1560);
    QVERIFY(outcome.ok);
    QCOMPARE(outcome.written, bytesOf({11, 22, 33, 44, 0xEE, 0xEF, 55, 66, 77, 88}));
}

void TestCompressedPatch::failingCloseFailsThePatch()
{
    const PatchCase patchCase = PatchWriter::randomCase(19, 5000, 6000, 20);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase, PatchWriter::kAllSectionsCompressed).bytes();
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    counting.setFailClose(true);
    for (size_t memSize : {size_t(8 * 1024), size_t(1024 * 1024)})
        QVERIFY(!applyCompressedDiff(patchCase.oldData, 6000, diff, counting.plugin(), memSize).ok);
    QCOMPARE(counting.openHandles(), 0);

    counting.setFailClose(false);
    counting.setFailOpen(true);
    QVERIFY(!applyCompressedDiff(patchCase.oldData, 6000, diff, counting.plugin(), 8 * 1024).ok);
    QCOMPARE(counting.openHandles(), 0);
}

void TestCompressedPatch::fixedMemoryVariantAppliesTheSameDiff()
{
    const PatchCase patchCase = PatchWriter::randomCase(23, 50000, 60000, 60);
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    for (int mask : {0, 0x5, PatchWriter::kAllSectionsCompressed}) {
        const QByteArray diffBytes = PatchWriter::compressedDiff(patchCase, mask).bytes();
        dpatch_TStreamInput diff;
        dpatch_memStreamInput_init(&diff, (const dpatch_byte*)diffBytes.constData(),
                                   (const dpatch_byte*)diffBytes.constData() + diffBytes.size());
        RecordingInputStream old(patchCase.oldData);
        SequentialOutputStream out(60000);
        QVERIFY(patch_decompress(out.stream(), old.stream(), &diff, counting.plugin()));
        QVERIFY(out.written() == patchCase.newData);
        QVERIFY(out.sequential);
        QCOMPARE(counting.openHandles(), 0);
    }
}

void TestCompressedPatch::roundTripThroughFileStreams_data()
{
    QTest::addColumn<int>("memSize");
    QTest::addColumn<int>("compressMask");
    QTest::addColumn<Plan>("plan");
    QTest::newRow("streaming, sections as is") << 64 * 1024 << 0 << Plan::Streaming;
    QTest::newRow("streaming, sections compressed")
        << 64 * 1024 << int(PatchWriter::kAllSectionsCompressed) << Plan::Streaming;
    QTest::newRow("covers in memory, sections compressed")
        << 1200 * 1024 << int(PatchWriter::kAllSectionsCompressed) << Plan::CoverArrayWithCache;
    QTest::newRow("whole old data, sections mixed") << 2 * 1024 * 1024 << 0x6 << Plan::WholeOldData;
}

void TestCompressedPatch::roundTripThroughFileStreams()
{
    QFETCH(int, memSize);
    QFETCH(int, compressMask);
    QFETCH(Plan, plan);
    const PatchCase patchCase = PatchWriter::randomCase(29, int(kLargeOld), int(kLargeOld), 300);
    const QByteArray diffBytes = PatchWriter::compressedDiff(patchCase, compressMask).bytes();
    QCOMPARE(planName(plannedPlan(patchCase.oldData, quint64(patchCase.newData.size()), diffBytes,
                                  &zstdDecompressPlugin, size_t(memSize))),
             planName(plan));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray oldPath = QFile::encodeName(dir.filePath("old.bin"));
    const QByteArray diffPath = QFile::encodeName(dir.filePath("patch.diff"));
    const QByteArray newPath = QFile::encodeName(dir.filePath("new.bin"));
    for (const auto& [path, data] : {std::pair{oldPath, patchCase.oldData}, std::pair{diffPath, diffBytes}}) {
        QFile file(QFile::decodeName(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(data), data.size());
    }

    dpatch_TFileStreamInput oldFile = {};
    dpatch_TFileStreamInput diffFile = {};
    dpatch_TFileStreamOutput newFile = {};
    QVERIFY(dpatch_TFileStreamInput_open(&oldFile, oldPath.constData()));
    QVERIFY(dpatch_TFileStreamInput_open(&diffFile, diffPath.constData()));
    QVERIFY(dpatch_TFileStreamOutput_open(&newFile, newPath.constData(), quint64(patchCase.newData.size())));
    GuardedMemory mem{size_t(memSize)};
    const BOOL ok = patch_decompress_with_cache(&newFile.base, &oldFile.base, &diffFile.base, &zstdDecompressPlugin,
                                                mem.begin(), mem.end());
    QVERIFY(dpatch_TFileStreamOutput_close(&newFile));
    QVERIFY(dpatch_TFileStreamInput_close(&oldFile));
    QVERIFY(dpatch_TFileStreamInput_close(&diffFile));
    QVERIFY(ok);
    QCOMPARE(newFile.fileError, 0);
    QFile result(QFile::decodeName(newPath));
    QVERIFY(result.open(QIODevice::ReadOnly));
    QVERIFY(result.readAll() == patchCase.newData);
}

QTEST_GUILESS_MAIN(TestCompressedPatch)
#include "TestCompressedPatch.moc"
