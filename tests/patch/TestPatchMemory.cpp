// The memory planner: which plan a memory range buys, how the old-data cache picks and fills the
// covers it holds, how the replacement old stream serves them, and that everything stays inside the
// caller's range.

#include "patch/core/compressed_diff.h"
#include "patch/core/compressed_patch.h"
#include "patch/core/memory_planner.h"
#include "patch/os/zstd_decompress_plugin.h"
#include "support/CountingDecompressPlugin.h"
#include "support/GuardedMemory.h"
#include "support/PatchRun.h"
#include "support/PatchWriter.h"
#include "support/RecordingInputStream.h"
#include "support/SequentialOutputStream.h"

#include <QTest>
#include <memory>

namespace
{
const size_t kKiB = 1024;
const size_t kMiB = 1024 * 1024;
const size_t kCacheCount = 6;

// A diff that holds only covers: all the planner reads of an "HDIFF13" diff.
QByteArray coverOnlyDiff(const QList<PatchCover>& covers, quint64 oldSize, quint64 newSize, int compressMask = 0,
                         int extraCoverBytes = 0)
{
    using D = PatchWriter::CompressedDiff;
    D diff;
    const QByteArray section = PatchWriter::encodeCovers(covers) + QByteArray(extraCoverBytes, '\0');
    const bool compressed = compressMask & 1;
    diff.compressType = compressed ? "zstd" : "";
    diff.sections[PatchWriter::CoverSection] = compressed ? PatchWriter::zstdFrame(section) : section;
    diff.head[D::kNewDataSizeIndex] = newSize;
    diff.head[D::kOldDataSizeIndex] = oldSize;
    diff.head[D::kCoverCountIndex] = quint64(covers.size());
    diff.head[size_t(D::decodedSizeIndex(PatchWriter::CoverSection))] = quint64(section.size());
    diff.head[size_t(D::compressedSizeIndex(PatchWriter::CoverSection))] =
        compressed ? quint64(diff.sections[PatchWriter::CoverSection].size()) : 0;
    return diff.bytes();
}

// Covers of the given lengths, one after another in the new data, reading the old data backwards.
QList<PatchCover> coversOfLengths(const QList<quint64>& lengths, quint64 oldSize)
{
    QList<PatchCover> covers;
    quint64 newPos = 0;
    for (qsizetype i = 0; i < lengths.size(); ++i) {
        const quint64 oldPos = (oldSize - lengths[i]) * quint64(lengths.size() - 1 - i) / quint64(lengths.size());
        covers.append({oldPos, newPos, lengths[i]});
        newPos += lengths[i] + 3;
    }
    return covers;
}

quint64 newSizeFor(const QList<PatchCover>& covers)
{
    return covers.isEmpty() ? 0 : covers.last().newPos + covers.last().length + 5;
}

// Where the cached bytes start in a range that begins 8-aligned, for count covers of 16-byte items:
// the array record and items, the replacement stream record and the cached stream record.
size_t cacheBufOffset(size_t count)
{
    auto align8 = [](size_t n) { return (n + 7) / 8 * 8; };
    const size_t arrayEnd = sizeof(_TArrayCovers) + count * sizeof(_TCoverItem32);
    const size_t cachedMem = align8(align8(arrayEnd) + sizeof(dpatch_TStreamInput));
    return align8(cachedMem + sizeof(_TCachedOldStream));
}

// One call of the planner with everything it needs kept alive for inspection.
struct Planner
{
    Planner(const QByteArray& oldData, const QByteArray& diffBytes, quint64 newSize, size_t memSize,
            const dpatch_TDecompressPlugin* plugin = nullptr, BOOL isCompressedDiff = 1,
            size_t cacheCount = kCacheCount)
        : old(oldData), diff(diffBytes), mem(memSize), oldStream(old.stream()), cache(mem.begin()), cacheEnd(mem.end()),
          newSize(newSize), plugin(plugin), isCompressedDiff(isCompressedDiff), cacheCount(cacheCount)
    {}
    Planner& run()
    {
        replaced = _patch_prepare_cache(&covers, &oldStream, newSize, diff.stream(), isCompressedDiff, plugin,
                                        cacheCount, &cache, &cacheEnd, &isReadError);
        return *this;
    }
    ~Planner()
    {
        if (covers != nullptr)
            covers->close(covers);
    }
    _TCachedOldStream* cached() const { return (_TCachedOldStream*)oldStream->streamOwner; }
    bool insideRange() { return mem.begin() <= cache && cache <= cacheEnd && cacheEnd <= mem.end(); }

    RecordingInputStream old;
    RecordingInputStream diff;
    GuardedMemory mem;
    const dpatch_TStreamInput* oldStream;
    dpatch_byte* cache;
    dpatch_byte* cacheEnd;
    dpatch_TCovers* covers = nullptr;
    quint64 newSize;
    const dpatch_TDecompressPlugin* plugin;
    BOOL isCompressedDiff;
    size_t cacheCount;
    int isReadError = -1;
    BOOL replaced = 0;
};

} // namespace

class TestPatchMemory : public QObject
{
    Q_OBJECT
private slots:
    void wholeOldDataThreshold();
    void emptyOldDataFitsInAnyRange();
    void streamingThreshold_data();
    void streamingThreshold();
    void cacheTakesTheShortestCoversFirst_data();
    void cacheTakesTheShortestCoversFirst();
    void tooFewShortCoversMakeNoCache();
    void cachedStreamServesCoversInOrder();
    void sweepJumpsFarGapsAndStartsAtZeroWhenNear();
    void cachedCoverLongerThanTheReadBufferPatches();
    void everyCoverCachedReadsOldDataOnlyInTheSweep();
    void oldDataIsLoadedFirstOnlyForCoversThatStepBack_data();
    void oldDataIsLoadedFirstOnlyForCoversThatStepBack();
    void diffWithoutCoversMakesEmptyArray();
    void coverArrayTooLargeKeepsTheReader();
    void rawDiffCoversLoad();
    void readErrors_data();
    void readErrors();
    void coverReaderHandleIsReleased();
};

void TestPatchMemory::wholeOldDataThreshold()
{
    const PatchCase patchCase = PatchWriter::randomCase(1, 100000, 100000, 20);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase).bytes();
    const size_t exact = 100000 + kCacheCount * 4096 + 40;

    Planner whole(patchCase.oldData, diff, 100000, exact);
    whole.run();
    QCOMPARE(whole.isReadError, 0);
    QVERIFY(whole.replaced);
    QVERIFY(whole.covers == nullptr);
    QCOMPARE(whole.old.reads.size(), 1);
    QCOMPARE(whole.old.reads[0], qMakePair(quint64(0), quint64(100000)));
    QCOMPARE(whole.cacheEnd, whole.mem.end() - 100000);
    QCOMPARE(whole.cache, whole.mem.begin() + sizeof(dpatch_TStreamInput));
    QCOMPARE(whole.oldStream->streamSize, quint64(100000));
    QVERIFY(QByteArray((const char*)whole.cacheEnd, 100000) == patchCase.oldData);
    QVERIFY(whole.mem.guardsIntact());

    Planner less(patchCase.oldData, diff, 100000, exact - 1);
    less.run();
    QCOMPARE(less.isReadError, 0);
    QVERIFY(less.oldStream == less.old.stream());
    QCOMPARE(less.old.reads.size(), 0);
}

void TestPatchMemory::emptyOldDataFitsInAnyRange()
{
    const PatchCase patchCase = PatchWriter::randomCase(2, 0, 5000, 0);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase).bytes();
    Planner planner(patchCase.oldData, diff, 5000, 64 * kKiB);
    planner.run();
    QVERIFY(planner.replaced);
    QCOMPARE(planner.cacheEnd, planner.mem.end());

    // The patch works on the rest of the range.
    SequentialOutputStream out(5000);
    QVERIFY(_patch_decompress_clips(out.stream(), planner.oldStream, planner.diff.stream(), nullptr, nullptr,
                                    planner.cache, planner.cacheEnd));
    QVERIFY(out.written() == patchCase.newData);
}

void TestPatchMemory::streamingThreshold_data()
{
    QTest::addColumn<quint64>("oldSize");
    QTest::addColumn<quint64>("limit");
    QTest::newRow("an eighth of the old data plus six parts") << quint64(1000000) << quint64(125000 + 6 * 128 * kKiB);
    QTest::newRow("never more than 8 MiB") << quint64(100 * kMiB) << quint64(8 * kMiB);
}

void TestPatchMemory::streamingThreshold()
{
    QFETCH(quint64, oldSize);
    QFETCH(quint64, limit);
    // No covers, so planning never needs to read the (absent) old bytes.
    const QByteArray diff = coverOnlyDiff({}, oldSize, 100);

    Planner streaming(QByteArray(), diff, 100, size_t(limit - 1));
    streaming.old.setStreamSize(oldSize);
    streaming.run();
    QCOMPARE(streaming.isReadError, 0);
    QVERIFY(!streaming.replaced);
    QVERIFY(streaming.covers == nullptr);
    QCOMPARE(streaming.cache, streaming.mem.begin());
    QCOMPARE(streaming.cacheEnd, streaming.mem.end());
    QCOMPARE(streaming.diff.reads.size(), 0);

    Planner covers(QByteArray(), diff, 100, size_t(limit));
    covers.old.setStreamSize(oldSize);
    covers.run();
    QCOMPARE(covers.isReadError, 0);
    QVERIFY(covers.covers != nullptr);
    QCOMPARE(covers.old.reads.size(), 0);
}

void TestPatchMemory::cacheTakesTheShortestCoversFirst_data()
{
    QTest::addColumn<quint64>("room");
    QTest::addColumn<quint64>("maxCachedLength");
    QTest::addColumn<quint64>("cachedBytes");
    // Lengths 10, 20, 30, 40 (times 20000): the sorted sums are 10, 30, 60, 100.
    QTest::newRow("room for 65: the three shortest") << quint64(1300000) << quint64(799999) << quint64(1200000);
    QTest::newRow("room for exactly 60") << quint64(1200000) << quint64(799999) << quint64(1200000);
    QTest::newRow("one byte short of 60") << quint64(1199999) << quint64(599999) << quint64(600000);
    QTest::newRow("room for all") << quint64(2000000) << quint64(800000) << quint64(2000000);
}

void TestPatchMemory::cacheTakesTheShortestCoversFirst()
{
    QFETCH(quint64, room);
    QFETCH(quint64, maxCachedLength);
    QFETCH(quint64, cachedBytes);
    const quint64 oldSize = 3000000;
    const QByteArray oldData = PatchWriter::randomCase(3, int(oldSize), 0, 0).oldData;
    // Shuffled, so new-position order and length order differ.
    const QList<PatchCover> covers = coversOfLengths({600000, 200000, 800000, 400000}, oldSize);
    const size_t memSize = cacheBufOffset(4) + size_t(room) + kCacheCount * 64 * kKiB;
    Planner planner(oldData, coverOnlyDiff(covers, oldSize, newSizeFor(covers)), newSizeFor(covers), memSize);
    planner.run();
    QCOMPARE(planner.isReadError, 0);
    QVERIFY(planner.replaced);
    QVERIFY(planner.insideRange());
    const _TCachedOldStream* cached = planner.cached();
    QCOMPARE(cached->maxCachedLength, maxCachedLength);
    QCOMPARE(quint64(cached->cacheEnd - cached->cacheNext), cachedBytes);
    QCOMPARE(planner.cache, cached->cacheEnd);
    QCOMPARE(planner.cacheEnd, planner.mem.end());
    QVERIFY(readAllCovers(planner.covers) == covers);

    // Cached bytes are the covers' old bytes, laid out in new-position order.
    QByteArray expected;
    for (const PatchCover& cover : covers) {
        if (cover.length <= maxCachedLength)
            expected += oldData.mid(qsizetype(cover.oldPos), qsizetype(cover.length));
    }
    QVERIFY(QByteArray((const char*)cached->cacheNext, qsizetype(cachedBytes)) == expected);
    QVERIFY(planner.mem.guardsIntact());
}

void TestPatchMemory::tooFewShortCoversMakeNoCache()
{
    // 12 short covers and 88 long ones: only the short ones fit, and 12 < 100 / 8 + 1.
    QList<quint64> lengths;
    for (int i = 0; i < 100; ++i)
        lengths.append(i % 8 == 0 && i < 96 ? 10 : 600000);
    QCOMPARE(lengths.count(10), 12);
    const quint64 oldSize = 1000000;
    const QList<PatchCover> covers = coversOfLengths(lengths, oldSize);
    const size_t memSize = size_t(oldSize / 8 + kCacheCount * 128 * kKiB);
    Planner planner(QByteArray(int(oldSize), 'x'), coverOnlyDiff(covers, oldSize, newSizeFor(covers)),
                    newSizeFor(covers), memSize);
    planner.run();
    QCOMPARE(planner.isReadError, 0);
    QVERIFY(!planner.replaced);
    QVERIFY(planner.oldStream == planner.old.stream());
    QCOMPARE(planner.old.reads.size(), 0);
    QVERIFY(planner.covers != nullptr);
    QCOMPARE(planner.cache, planner.mem.begin() + sizeof(_TArrayCovers) + 100 * sizeof(_TCoverItem32));
    QVERIFY(readAllCovers(planner.covers) == covers);

    // With a thirteenth short cover the cache is made.
    lengths[96] = 10;
    const QList<PatchCover> more = coversOfLengths(lengths, oldSize);
    Planner cached(QByteArray(int(oldSize), 'x'), coverOnlyDiff(more, oldSize, newSizeFor(more)), newSizeFor(more),
                   memSize);
    cached.run();
    QVERIFY(cached.replaced);
    QCOMPARE(quint64(cached.cached()->cacheEnd - cached.cached()->cacheNext), quint64(130));
}

void TestPatchMemory::cachedStreamServesCoversInOrder()
{
    const quint64 oldSize = 2100000;
    const QByteArray oldData = PatchWriter::randomCase(4, int(oldSize), 0, 0).oldData;
    QList<PatchCover> covers = coversOfLengths({600000, 200000, 800000, 400000}, oldSize);
    covers.insert(1, {123, covers[1].newPos, 0}); // zero-length covers need no read
    const size_t memSize = cacheBufOffset(5) + 1300000 + kCacheCount * 64 * kKiB;
    Planner planner(oldData, coverOnlyDiff(covers, oldSize, newSizeFor(covers)), newSizeFor(covers), memSize);
    planner.run();
    QVERIFY(planner.replaced);
    const dpatch_TStreamInput* stream = planner.oldStream;
    QCOMPARE(stream->streamSize, oldSize);
    const int sweepReads = int(planner.old.reads.size());

    QByteArray chunk(1000, '\0');
    dpatch_byte* buf = (dpatch_byte*)chunk.data();
    const PatchCover& first = covers[0];
    // Out of order and over-long requests fail.
    QVERIFY(!stream->read(stream, first.oldPos + 1, buf, buf + 10));
    Planner again(oldData, coverOnlyDiff(covers, oldSize, newSizeFor(covers)), newSizeFor(covers), memSize);
    again.run();
    QVERIFY(!again.oldStream->read(again.oldStream, covers[1].oldPos, buf, buf + 10));

    Planner serving(oldData, coverOnlyDiff(covers, oldSize, newSizeFor(covers)), newSizeFor(covers), memSize);
    serving.run();
    for (const PatchCover& cover : covers) {
        for (quint64 pos = cover.oldPos; pos < cover.oldPos + cover.length; pos += 1000) {
            const quint64 n = qMin<quint64>(1000, cover.oldPos + cover.length - pos);
            QVERIFY(serving.oldStream->read(serving.oldStream, pos, buf, buf + n));
            QVERIFY(QByteArray((const char*)buf, qsizetype(n)) == oldData.mid(qsizetype(pos), qsizetype(n)));
        }
    }
    // Only the uncached 800000-byte cover went to the real stream, after the sweep.
    quint64 direct = 0;
    for (int i = sweepReads; i < serving.old.reads.size(); ++i)
        direct += serving.old.reads[i].second;
    QCOMPARE(direct, quint64(800000));
    QVERIFY(!serving.oldStream->read(serving.oldStream, 0, buf, buf + 1)); // no cover left
}

void TestPatchMemory::sweepJumpsFarGapsAndStartsAtZeroWhenNear()
{
    const quint64 oldSize = 12 * kMiB;
    const QByteArray oldData(int(oldSize), '\x11');
    struct Row
    {
        QList<PatchCover> covers;
        quint64 firstRead;
        quint64 maxBytesRead;
    };
    // The second cover steps back in the old data, so there is a cache to fill; the sweep goes by old position.
    const Row rows[] = {
        // Near the start: the sweep starts at 0.
        {{{200000, 0, 5000}, {100000, 5000, 5000}}, 0, 210000},
        // Far from the start: at the first cover, aligned down to 4 KiB.
        {{{5100000, 0, 5000}, {5000123, 5000, 5000}}, 5000123 / 4096 * 4096, 200000},
        // A gap of more than 4 MiB between covers is jumped over.
        {{{10 * kMiB, 0, 5000}, {0, 5000, 5000}}, 0, 2 * 2 * kMiB},
    };
    for (const Row& row : rows) {
        const quint64 newSize = newSizeFor(row.covers);
        Planner planner(oldData, coverOnlyDiff(row.covers, oldSize, newSize), newSize, 3 * kMiB);
        planner.run();
        QVERIFY(planner.replaced);
        QVERIFY(!planner.old.reads.isEmpty());
        QCOMPARE(planner.old.reads.first().first, row.firstRead);
        QVERIFY2(planner.old.bytesRead <= row.maxBytesRead, qPrintable(QString::number(planner.old.bytesRead)));
        for (const auto& read : planner.old.reads)
            QVERIFY(read.second <= 2 * kMiB);
    }
}

void TestPatchMemory::cachedCoverLongerThanTheReadBufferPatches()
{
    // A 3 MiB cover, cached, is filled over several windows of at most 2 MiB. A short cover before it reads
    // old bytes after it, so the covers step back and a cache is made.
    const int oldSize = 4 * int(kMiB);
    PatchCase patchCase = PatchWriter::randomCase(5, oldSize, 3 * int(kMiB) + 2000, 0);
    patchCase.covers = {{3700000, 0, 500}, {500000, 1000, 3 * kMiB}};
    patchCase.newData.replace(0, 500, patchCase.oldData.mid(3700000, 500));
    patchCase.newData.replace(1000, 3 * int(kMiB), patchCase.oldData.mid(500000, 3 * int(kMiB)));
    patchCase.newData[5000] = char(patchCase.newData[5000] + 1);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase).bytes();
    const size_t memSize = 3 * kMiB + 600 * kKiB;

    Planner planner(patchCase.oldData, diff, quint64(patchCase.newData.size()), memSize);
    planner.run();
    QVERIFY(planner.replaced);
    QVERIFY(planner.old.reads.size() >= 2);

    const PatchOutcome outcome =
        applyCompressedDiff(patchCase.oldData, quint64(patchCase.newData.size()), diff, nullptr, memSize);
    QVERIFY(outcome.ok);
    QVERIFY(outcome.written == patchCase.newData);
    QVERIFY(outcome.guardsIntact);
}

void TestPatchMemory::oldDataIsLoadedFirstOnlyForCoversThatStepBack_data()
{
    QTest::addColumn<bool>("stepsBack");
    QTest::addColumn<quint64>("memSize");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<bool>("readWhole");
    const quint64 fits = 3 * kMiB;
    const quint64 tooSmall = 1 * kMiB;
    QTest::newRow("forward, old data fits whole") << false << fits << false << false;
    QTest::newRow("forward, old data larger than memory") << false << tooSmall << false << false;
    QTest::newRow("a step back, old data fits whole") << true << fits << true << true;
    QTest::newRow("a step back, old data larger than memory") << true << tooSmall << true << false;
}

void TestPatchMemory::oldDataIsLoadedFirstOnlyForCoversThatStepBack()
{
    QFETCH(bool, stepsBack);
    QFETCH(quint64, memSize);
    QFETCH(bool, replaced);
    QFETCH(bool, readWhole);
    // Old data too large to be read whole without asking, covers that read it front to back (two of them
    // from the same place, which still counts as forward) unless the last one steps back.
    const quint64 oldSize = 2 * kMiB;
    PatchCase patchCase = PatchWriter::randomCase(9, int(oldSize), 40000, 0);
    const quint64 lastOldPos = stepsBack ? 200000 : 1500000;
    patchCase.covers = {{1000, 0, 4000}, {300000, 5000, 6000}, {300000, 12000, 3000}, {lastOldPos, 20000, 8000}};
    for (const PatchCover& cover : patchCase.covers) {
        patchCase.newData.replace(int(cover.newPos), int(cover.length),
                                  patchCase.oldData.mid(int(cover.oldPos), int(cover.length)));
    }
    const QByteArray diff = PatchWriter::compressedDiff(patchCase).bytes();

    Planner planner(patchCase.oldData, diff, quint64(patchCase.newData.size()), size_t(memSize));
    planner.run();
    QCOMPARE(planner.isReadError, 0);
    QCOMPARE(bool(planner.replaced), replaced);
    QVERIFY(planner.insideRange());
    if (!replaced) {
        // The covers are in memory and the patch reads the old bytes itself, in order.
        QVERIFY(planner.covers != nullptr);
        QVERIFY(planner.oldStream == planner.old.stream());
        QCOMPARE(planner.old.reads.size(), 0);
    } else if (readWhole) {
        QVERIFY(planner.covers == nullptr);
        QCOMPARE(planner.old.reads.size(), 1);
        QCOMPARE(planner.old.reads[0], qMakePair(quint64(0), oldSize));
    } else {
        QVERIFY(planner.covers != nullptr);
        QVERIFY(!planner.old.reads.isEmpty());
    }

    const PatchOutcome outcome =
        applyCompressedDiff(patchCase.oldData, quint64(patchCase.newData.size()), diff, nullptr, size_t(memSize));
    QVERIFY(outcome.ok);
    QVERIFY(outcome.written == patchCase.newData);
    QVERIFY(outcome.guardsIntact);
}

void TestPatchMemory::everyCoverCachedReadsOldDataOnlyInTheSweep()
{
    const PatchCase patchCase = PatchWriter::randomCase(6, 1536 * int(kKiB), 1536 * int(kKiB), 300);
    const QByteArray diff = PatchWriter::compressedDiff(patchCase).bytes();
    quint64 longest = 0;
    for (const PatchCover& cover : patchCase.covers)
        longest = qMax(longest, cover.length);
    const size_t memSize = 1500 * kKiB;

    Planner planner(patchCase.oldData, diff, quint64(patchCase.newData.size()), memSize);
    planner.run();
    QVERIFY(planner.replaced);
    QCOMPARE(planner.cached()->maxCachedLength, longest);

    const PatchOutcome outcome =
        applyCompressedDiff(patchCase.oldData, quint64(patchCase.newData.size()), diff, nullptr, memSize);
    QVERIFY(outcome.ok);
    QVERIFY(outcome.written == patchCase.newData);
    // One forward sweep and nothing else: no cover went to the old stream.
    const auto& reads = outcome.oldReads;
    QCOMPARE(reads, planner.old.reads);
    for (qsizetype i = 1; i < reads.size(); ++i)
        QCOMPARE(reads[i].first, reads[i - 1].first + reads[i - 1].second);
}

void TestPatchMemory::diffWithoutCoversMakesEmptyArray()
{
    const quint64 oldSize = 2 * kMiB;
    Planner planner(QByteArray(int(oldSize), 'x'), coverOnlyDiff({}, oldSize, 1000), 1000, 1200 * kKiB);
    planner.run();
    QCOMPARE(planner.isReadError, 0);
    QVERIFY(!planner.replaced);
    QVERIFY(planner.covers != nullptr);
    QCOMPARE(planner.covers->leaveCoverCount(planner.covers), quint64(0));
    QVERIFY(planner.covers->isFinished(planner.covers));
    QCOMPARE(planner.old.reads.size(), 0);
}

void TestPatchMemory::coverArrayTooLargeKeepsTheReader()
{
    // 70000 covers of 16 bytes do not fit below the reader and the 64 KiB kept for the patch.
    QList<quint64> lengths(70000, 2);
    const quint64 oldSize = 2 * kMiB;
    const QList<PatchCover> covers = coversOfLengths(lengths, oldSize);
    const size_t memSize = 1100 * kKiB;
    Planner planner(QByteArray(int(oldSize), 'x'), coverOnlyDiff(covers, oldSize, newSizeFor(covers)),
                    newSizeFor(covers), memSize);
    planner.run();
    QCOMPARE(planner.isReadError, 0);
    QVERIFY(!planner.replaced);
    QCOMPARE(planner.cache, planner.mem.begin());
    QCOMPARE(planner.cacheEnd, planner.mem.end() - dpatch_kCompressedCoverReaderMemSize);
    QVERIFY(readAllCovers(planner.covers) == covers);
    QVERIFY(planner.covers->isFinished(planner.covers));
}

void TestPatchMemory::rawDiffCoversLoad()
{
    const PatchCase patchCase = PatchWriter::randomCase(8, 2 * int(kMiB), 2 * int(kMiB), 200);
    const QByteArray raw = PatchWriter::rawDiff(patchCase);
    const quint64 newSize = quint64(patchCase.newData.size());
    const size_t rawCacheCount = 8;
    Planner loaded(patchCase.oldData, raw, newSize, 1300 * kKiB, nullptr, 0, rawCacheCount);
    loaded.run();
    QCOMPARE(loaded.isReadError, 0);
    QVERIFY(loaded.covers != nullptr);
    QVERIFY(readAllCovers(loaded.covers) == patchCase.covers);

    QList<quint64> lengths(80000, 2);
    const QList<PatchCover> many = coversOfLengths(lengths, 2 * kMiB);
    PatchCase manyCase = patchCase;
    manyCase.covers = many;
    manyCase.newData = QByteArray(int(newSizeFor(many)), '\0');
    Planner kept(patchCase.oldData, PatchWriter::rawDiff(manyCase), newSizeFor(many), 1300 * kKiB, nullptr, 0,
                 rawCacheCount);
    kept.run();
    QCOMPARE(kept.isReadError, 0);
    QCOMPARE(kept.cacheEnd, kept.mem.end() - dpatch_kRawCoverReaderMemSize);
    QVERIFY(readAllCovers(kept.covers) == many);
}

void TestPatchMemory::readErrors_data()
{
    QTest::addColumn<QByteArray>("diff");
    QTest::addColumn<int>("failFromRead");
    QTest::addColumn<int>("memSize");
    QTest::addColumn<bool>("withPlugin");
    const quint64 oldSize = 2 * kMiB;
    const QList<PatchCover> covers = coversOfLengths({1000, 2000, 3000}, oldSize);
    const quint64 newSize = newSizeFor(covers);
    const QByteArray good = coverOnlyDiff(covers, oldSize, newSize);
    const QByteArray compressed = coverOnlyDiff(covers, oldSize, newSize, 1);
    QTest::newRow("whole old data cannot be read") << good << 0 << int(oldSize + 64 * kKiB) << false;
    QTest::newRow("cache sweep cannot read") << good << 0 << int(1200 * kKiB) << false;
    QTest::newRow("head old size differs")
        << coverOnlyDiff(covers, oldSize + 1, newSize) << -1 << int(1200 * kKiB) << false;
    QTest::newRow("head new size differs")
        << coverOnlyDiff(covers, oldSize, newSize + 1) << -1 << int(1200 * kKiB) << false;
    QTest::newRow("compressed covers without a plugin") << compressed << -1 << int(1200 * kKiB) << false;
    QTest::newRow("cover bytes left over")
        << coverOnlyDiff(covers, oldSize, newSize, 0, 3) << -1 << int(1200 * kKiB) << false;
    QTest::newRow("cover past the old data")
        << coverOnlyDiff({{oldSize - 10, 0, 11}}, oldSize, newSize) << -1 << int(1200 * kKiB) << false;
    QTest::newRow("cover count the section cannot hold")
        << coverOnlyDiff(covers, oldSize, newSize).replace(12, 1, "\x7f") << -1 << int(1200 * kKiB) << false;
    QByteArray cut = compressed;
    cut.chop(1);
    QTest::newRow("compressed cover section runs out") << cut << -1 << int(1200 * kKiB) << true;
}

void TestPatchMemory::readErrors()
{
    QFETCH(QByteArray, diff);
    QFETCH(int, failFromRead);
    QFETCH(int, memSize);
    QFETCH(bool, withPlugin);
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    const quint64 oldSize = 2 * kMiB;
    const QList<PatchCover> covers = coversOfLengths({1000, 2000, 3000}, oldSize);
    RecordingInputStream old(QByteArray(int(oldSize), 'x'));
    old.failFromRead(failFromRead);
    RecordingInputStream diffStream(diff);
    const dpatch_TStreamInput* oldStream = old.stream();
    GuardedMemory mem{size_t(memSize)};
    dpatch_byte* cache = mem.begin();
    dpatch_byte* cacheEnd = mem.end();
    dpatch_TCovers* planned = nullptr;
    int isReadError = 0;
    _patch_prepare_cache(&planned, &oldStream, newSizeFor(covers), diffStream.stream(), 1,
                         withPlugin ? counting.plugin() : nullptr, kCacheCount, &cache, &cacheEnd, &isReadError);
    QCOMPARE(isReadError, 1);
    if (planned != nullptr)
        planned->close(planned);
    QCOMPARE(counting.openHandles(), 0);
    QVERIFY(mem.guardsIntact());
}

void TestPatchMemory::coverReaderHandleIsReleased()
{
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    const quint64 oldSize = 2 * kMiB;
    const QList<PatchCover> few = coversOfLengths({1000, 2000, 3000}, oldSize);
    {
        Planner loaded(QByteArray(int(oldSize), 'x'), coverOnlyDiff(few, oldSize, newSizeFor(few), 1), newSizeFor(few),
                       1200 * kKiB, counting.plugin());
        loaded.run();
        QCOMPARE(loaded.isReadError, 0);
        QCOMPARE(counting.openCount(), 1);
        QCOMPARE(counting.openHandles(), 0); // closed once the covers are in memory
        QVERIFY(readAllCovers(loaded.covers) == few);
    }
    const QList<PatchCover> many = coversOfLengths(QList<quint64>(70000, 2), oldSize);
    {
        Planner kept(QByteArray(int(oldSize), 'x'), coverOnlyDiff(many, oldSize, newSizeFor(many), 1), newSizeFor(many),
                     1100 * kKiB, counting.plugin());
        kept.run();
        QCOMPARE(kept.isReadError, 0);
        QCOMPARE(counting.openHandles(), 1); // the patch reads the covers through it
    }
    QCOMPARE(counting.openHandles(), 0);
}

QTEST_GUILESS_MAIN(TestPatchMemory)
#include "TestPatchMemory.moc"
