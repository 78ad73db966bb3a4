// Raw diffs (from memory, from streams with fixed memory and with the caller's memory) and
// "HDIFFSF20" single-stream diffs (stored and zstd-compressed): round trips and the corruptions each
// reader must refuse without touching memory outside its range.

#include "patch/core/compressed_diff.h"
#include "patch/core/single_stream_patch.h"
#include "patch/core/streams.h"
#include "patch/os/zstd_decompress_plugin.h"
#include "support/GuardedMemory.h"
#include "support/PatchWriter.h"
#include "support/RecordingInputStream.h"
#include "support/SequentialOutputStream.h"
#include "support/SingleStreamWriter.h"

#include <QTest>
#include <vector>

namespace
{
enum class RawEntry
{
    Memory,
    Stream,
    StreamSmallCache,
    StreamLargeCache,
};

struct RawOutcome
{
    bool ok = false;
    QByteArray written;
    bool guardsIntact = true;
};

RawOutcome applyRaw(RawEntry entry, const QByteArray& oldData, qsizetype newSize, const QByteArray& diff,
                    size_t cacheSize = 0)
{
    RawOutcome outcome;
    if (entry == RawEntry::Memory) {
        GuardedMemory newMem{size_t(newSize)};
        const auto* oldBytes = (const dpatch_byte*)oldData.constData();
        const auto* diffBytes = (const dpatch_byte*)diff.constData();
        outcome.ok = patch_raw_mem(newMem.begin(), newMem.end(), oldBytes, oldBytes + oldData.size(), diffBytes,
                                   diffBytes + diff.size());
        outcome.written = QByteArray((const char*)newMem.begin(), newSize);
        outcome.guardsIntact = newMem.guardsIntact();
        return outcome;
    }
    RecordingInputStream old(oldData);
    RecordingInputStream diffStream(diff);
    SequentialOutputStream out{quint64(newSize)};
    if (entry == RawEntry::Stream) {
        outcome.ok = patch_raw_stream(out.stream(), old.stream(), diffStream.stream());
    } else {
        if (cacheSize == 0)
            cacheSize = entry == RawEntry::StreamSmallCache ? 8 * 1024 : 4 * 1024 * 1024;
        GuardedMemory mem(cacheSize);
        outcome.ok =
            patch_raw_stream_with_cache(out.stream(), old.stream(), diffStream.stream(), mem.begin(), mem.end());
        outcome.guardsIntact = mem.guardsIntact();
    }
    outcome.written = out.written();
    return outcome;
}

struct SingleOutcome
{
    bool ok = false;
    QByteArray written;
    bool guardsIntact = true;
};

// Reads the head as a caller would and applies the diff, placed at headPos inside the stream.
SingleOutcome applySingle(const QByteArray& oldData, qsizetype newSize, const QByteArray& diffBytes,
                          qsizetype headPos = 0, qint64 extraMemory = 0)
{
    SingleOutcome outcome;
    const QByteArray streamBytes = QByteArray(headPos, 'x') + diffBytes;
    RecordingInputStream stream(streamBytes);
    dpatch_TSingleDiffInfo info;
    if (!getSingleCompressedDiffInfo(&info, stream.stream(), quint64(headPos)))
        return outcome;
    RecordingInputStream old(oldData);
    SequentialOutputStream out{quint64(newSize)};
    const size_t memSize = size_t(qint64(info.maxStepSize) + qint64(dpatch_kSingleStreamMinCacheSize) + extraMemory);
    GuardedMemory mem(memSize);
    const dpatch_TDecompressPlugin* plugin = info.compressedSize != 0 ? &zstdDecompressPlugin : nullptr;
    outcome.ok = patch_single_compressed_diff(out.stream(), old.stream(), stream.stream(),
                                              quint64(headPos) + info.diffDataPos, info.uncompressedSize, plugin,
                                              info.coverCount, info.maxStepSize, mem.begin(), mem.end());
    outcome.written = out.written();
    outcome.guardsIntact = mem.guardsIntact();
    return outcome;
}

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += char(v);
    return out;
}

// Old "ABCDEFGH", two covers at the same old position and new bytes between them.
PatchCase sameOldPosCase()
{
    PatchCase c;
    c.oldData = "ABCDEFGH";
    c.newData = "xABCyyABCz";
    c.covers = {{0, 1, 3}, {0, 6, 3}};
    return c;
}
} // namespace

Q_DECLARE_METATYPE(PatchCase)

class TestSingleStreamPatch : public QObject
{
    Q_OBJECT

private slots:
    void rawRoundTrip_data();
    void rawRoundTrip();
    void rawOldPositionIsRelativeToPreviousCoverStart();
    void rawCorrupt_data();
    void rawCorrupt();
    void rawStreamWithTooLittleMemory();
    void singleRoundTrip_data();
    void singleRoundTrip();
    void singleCorrupt_data();
    void singleCorrupt();
    void singleNeedsStepMemory();
};

void TestSingleStreamPatch::rawRoundTrip_data()
{
    QTest::addColumn<int>("entry");
    QTest::addColumn<PatchCase>("patchCase");
    const struct
    {
        const char* name;
        RawEntry entry;
    } entries[] = {{"memory", RawEntry::Memory},
                   {"stream", RawEntry::Stream},
                   {"stream, small cache", RawEntry::StreamSmallCache},
                   {"stream, large cache", RawEntry::StreamLargeCache}};
    for (const auto& e : entries) {
        QTest::addRow("%s: covers jump back and overlap", e.name)
            << int(e.entry) << PatchWriter::randomCase(1, 5000, 7000, 30);
        QTest::addRow("%s: zero-length covers", e.name)
            << int(e.entry) << PatchWriter::randomCase(2, 3000, 3000, 12, true);
        QTest::addRow("%s: long data through small parts", e.name)
            << int(e.entry) << PatchWriter::randomCase(3, 70000, 90000, 40);
        QTest::addRow("%s: no covers", e.name) << int(e.entry) << PatchWriter::randomCase(4, 100, 500, 0);
        QTest::addRow("%s: empty new data", e.name) << int(e.entry) << PatchWriter::randomCase(5, 100, 0, 0);
        QTest::addRow("%s: same old position twice", e.name) << int(e.entry) << sameOldPosCase();
    }
}

void TestSingleStreamPatch::rawRoundTrip()
{
    QFETCH(int, entry);
    QFETCH(PatchCase, patchCase);
    const RawOutcome outcome =
        applyRaw(RawEntry(entry), patchCase.oldData, patchCase.newData.size(), PatchWriter::rawDiff(patchCase));
    QVERIFY(outcome.ok);
    QCOMPARE(outcome.written, patchCase.newData);
    QVERIFY(outcome.guardsIntact);
}

void TestSingleStreamPatch::rawOldPositionIsRelativeToPreviousCoverStart()
{
    // The second cover's old increment is 0: the raw layout does not add the length to oldPosBack.
    const QByteArray diff = PatchWriter::rawDiff(sameOldPosCase());
    QByteArray incOld;
    incOld += PatchWriter::packUInt(0, 1, 0);
    incOld += PatchWriter::packUInt(0, 1, 0);
    QVERIFY(diff.contains(PatchWriter::packUInt(3) + PatchWriter::packUInt(3) + PatchWriter::packUInt(1) +
                          PatchWriter::packUInt(2) + incOld + "xyyz"));
}

void TestSingleStreamPatch::rawCorrupt_data()
{
    QTest::addColumn<QByteArray>("oldData");
    QTest::addColumn<int>("newSize");
    QTest::addColumn<QByteArray>("diff");
    QTest::addColumn<bool>("expectOk");

    const QByteArray empty = bytesOf({0, 0, 0, 0, 0, 0});
    QTest::newRow("empty diff") << QByteArray("old") << 0 << QByteArray() << false;
    QTest::newRow("five zero sizes and no control: empty new data") << QByteArray() << 0 << empty << true;
    QTest::newRow("five zero sizes and no control: new data wanted") << QByteArray() << 1 << empty << false;

    const PatchCase c = sameOldPosCase();
    const QByteArray good = PatchWriter::rawDiff(c);
    const int newSize = int(c.newData.size());
    QTest::newRow("valid") << c.oldData << newSize << good << true;
    QTest::newRow("truncated by one byte") << c.oldData << newSize << good.chopped(1) << false;
    QTest::newRow("one byte too many") << c.oldData << newSize << good + 'x' << false;
    QTest::newRow("old data shorter than a cover") << c.oldData.left(2) << newSize << good << false;
    QTest::newRow("new size one too small") << c.oldData << newSize - 1 << good << false;

    // New-data section one byte short and one byte long (its size in the head and its bytes agree).
    PatchCase shortNew = c;
    QByteArray shortDiff = good;
    const qsizetype newDataAt = good.indexOf("xyyz");
    shortDiff.remove(newDataAt + 3, 1);
    shortDiff[4] = char(3);
    QTest::newRow("new-data section one byte short") << c.oldData << newSize << shortDiff << false;
    QByteArray longDiff = good;
    longDiff.insert(newDataAt + 4, 'q');
    longDiff[4] = char(5);
    QTest::newRow("new-data section one byte long") << c.oldData << newSize << longDiff << false;

    QByteArray hugeSection = good;
    hugeSection.replace(1, 1, PatchWriter::packUInt(~quint64(0)));
    QTest::newRow("section size near 2^64") << c.oldData << newSize << hugeSection << false;
    QByteArray hugeCount = good;
    hugeCount.replace(0, 1, PatchWriter::packUInt(~quint64(0)));
    QTest::newRow("cover count near 2^64") << c.oldData << newSize << hugeCount << false;

    // One cover whose old position goes below 0 and wraps.
    PatchCase back;
    back.oldData = "ABCD";
    back.newData = "AB";
    back.covers = {{0, 0, 2}};
    QByteArray wrapped = PatchWriter::rawDiff(back);
    const qsizetype incOldAt = wrapped.indexOf(PatchWriter::packUInt(0, 1, 0), 7);
    wrapped[incOldAt] = PatchWriter::packUInt(1, 1, 1)[0];
    QTest::newRow("old position wraps below 0") << back.oldData << 2 << wrapped << false;

    // A control run longer than 2^64 - 1 bytes would wrap to a run of 0.
    QByteArray runWrap = bytesOf({0, 0, 0, 0, 0});
    const QByteArray ctrl = PatchWriter::packUInt(~quint64(0), 2, 0);
    runWrap += PatchWriter::packUInt(quint64(ctrl.size())) + ctrl;
    QTest::newRow("control run wraps") << QByteArray() << 4 << runWrap << false;
}

void TestSingleStreamPatch::rawCorrupt()
{
    QFETCH(QByteArray, oldData);
    QFETCH(int, newSize);
    QFETCH(QByteArray, diff);
    QFETCH(bool, expectOk);
    for (RawEntry entry :
         {RawEntry::Memory, RawEntry::Stream, RawEntry::StreamSmallCache, RawEntry::StreamLargeCache}) {
        const RawOutcome outcome = applyRaw(entry, oldData, newSize, diff);
        QCOMPARE(outcome.ok, expectOk);
        QVERIFY(outcome.guardsIntact);
    }
}

void TestSingleStreamPatch::rawStreamWithTooLittleMemory()
{
    const PatchCase c = PatchWriter::randomCase(7, 2000, 2000, 5);
    const QByteArray diff = PatchWriter::rawDiff(c);
    // Eight parts of 100 bytes leave too little for five parts and the three cover readers' caches;
    // so does any range whose parts would be 10 bytes or less.
    for (size_t size : {size_t(1), size_t(88), size_t(600)}) {
        const RawOutcome outcome = applyRaw(RawEntry::StreamSmallCache, c.oldData, c.newData.size(), diff, size);
        QVERIFY2(!outcome.ok, qPrintable(QString::number(size)));
        QVERIFY(outcome.guardsIntact);
    }
    const RawOutcome enough = applyRaw(RawEntry::StreamSmallCache, c.oldData, c.newData.size(), diff, 4000);
    QVERIFY(enough.ok);
    QCOMPARE(enough.written, c.newData);
}

void TestSingleStreamPatch::singleRoundTrip_data()
{
    QTest::addColumn<PatchCase>("patchCase");
    QTest::addColumn<int>("coversPerStep");
    QTest::addColumn<bool>("compress");
    QTest::addColumn<bool>("emptyStepFirst");
    QTest::addColumn<int>("headPos");
    for (bool compress : {false, true}) {
        const char* kind = compress ? "zstd" : "stored";
        QTest::addRow("%s: one cover per step", kind)
            << PatchWriter::randomCase(11, 5000, 7000, 30) << 1 << compress << false << 0;
        QTest::addRow("%s: three covers per step", kind)
            << PatchWriter::randomCase(12, 5000, 7000, 30) << 3 << compress << false << 0;
        QTest::addRow("%s: all covers in one step", kind)
            << PatchWriter::randomCase(13, 5000, 7000, 30) << 100 << compress << false << 0;
        QTest::addRow("%s: zero-length covers of the case left out", kind)
            << PatchWriter::randomCase(14, 3000, 3000, 12, true) << 2 << compress << false << 0;
        QTest::addRow("%s: covers longer than a part", kind)
            << PatchWriter::randomCase(15, 80000, 90000, 6) << 2 << compress << false << 0;
        QTest::addRow("%s: no covers but the closing one", kind)
            << PatchWriter::randomCase(16, 100, 900, 0) << 1 << compress << false << 0;
        QTest::addRow("%s: empty step in front", kind)
            << PatchWriter::randomCase(17, 500, 500, 4) << 2 << compress << true << 0;
        QTest::addRow("%s: head inside a larger stream", kind)
            << PatchWriter::randomCase(18, 500, 500, 4) << 2 << compress << false << 77;
    }
}

void TestSingleStreamPatch::singleRoundTrip()
{
    QFETCH(PatchCase, patchCase);
    QFETCH(int, coversPerStep);
    QFETCH(bool, compress);
    QFETCH(bool, emptyStepFirst);
    QFETCH(int, headPos);
    const SingleStreamWriter::SingleStreamDiff diff =
        SingleStreamWriter::singleStreamDiff(patchCase, coversPerStep, compress, emptyStepFirst);
    const SingleOutcome outcome = applySingle(patchCase.oldData, patchCase.newData.size(), diff.bytes(), headPos);
    QVERIFY(outcome.ok);
    QCOMPARE(outcome.written, patchCase.newData);
    QVERIFY(outcome.guardsIntact);
}

void TestSingleStreamPatch::singleCorrupt_data()
{
    QTest::addColumn<QByteArray>("oldData");
    QTest::addColumn<int>("newSize");
    QTest::addColumn<QByteArray>("diff");
    QTest::addColumn<bool>("expectOk");

    const PatchCase c = PatchWriter::randomCase(21, 2000, 2500, 6);
    const int newSize = int(c.newData.size());
    const SingleStreamWriter::SingleStreamDiff good = SingleStreamWriter::singleStreamDiff(c, 2);
    QTest::newRow("valid") << c.oldData << newSize << good.bytes() << true;
    QTest::newRow("payload truncated") << c.oldData << newSize << good.bytes().chopped(1) << false;
    QTest::newRow("payload with a trailing byte") << c.oldData << newSize << good.bytes() + 'x' << false;
    QTest::newRow("new size one too large") << c.oldData << newSize + 1 << good.bytes() << false;

    SingleStreamWriter::SingleStreamDiff smallStep = good;
    smallStep.maxStepSize -= 1;
    QTest::newRow("a step larger than maxStepSize") << c.oldData << newSize << smallStep.bytes() << false;

    SingleStreamWriter::SingleStreamDiff moreCovers = good;
    moreCovers.coverCount += 1;
    QTest::newRow("a cover more declared than stored") << c.oldData << newSize << moreCovers.bytes() << false;
    SingleStreamWriter::SingleStreamDiff fewerCovers = good;
    fewerCovers.coverCount -= 1;
    QTest::newRow("a cover fewer declared than stored") << c.oldData << newSize << fewerCovers.bytes() << false;
    SingleStreamWriter::SingleStreamDiff noCovers = good;
    noCovers.coverCount = 0;
    QTest::newRow("no covers declared but a payload") << c.oldData << newSize << noCovers.bytes() << false;

    // A zero-length cover at the end of the first step while more covers are due.
    QList<SingleStreamWriter::Step> zeroSteps = SingleStreamWriter::steps(c, 2);
    zeroSteps[0].coverBytes += bytesOf({0, 0, 0});
    SingleStreamWriter::SingleStreamDiff zeroInside = good;
    zeroInside.coverCount += 1;
    zeroInside.payload.clear();
    for (const SingleStreamWriter::Step& step : zeroSteps) {
        zeroInside.payload += SingleStreamWriter::stepBytes(step);
        zeroInside.maxStepSize = qMax(zeroInside.maxStepSize, quint64(step.coverBytes.size() + step.codeBytes.size()));
    }
    QTest::newRow("zero-length cover before the last") << c.oldData << newSize << zeroInside.bytes() << false;

    // The step code may not add bytes that lie past its own end.
    QList<SingleStreamWriter::Step> steps = SingleStreamWriter::steps(c, 100);
    QByteArray& code = steps[0].codeBytes;
    code = PatchWriter::packUInt(0) + PatchWriter::packUInt(quint64(code.size()));
    SingleStreamWriter::SingleStreamDiff addPastEnd = good;
    addPastEnd.payload = SingleStreamWriter::stepBytes(steps[0]);
    addPastEnd.maxStepSize = quint64(steps[0].coverBytes.size() + steps[0].codeBytes.size());
    QTest::newRow("add bytes past the step code") << c.oldData << newSize << addPastEnd.bytes() << false;

    SingleStreamWriter::SingleStreamDiff hugeStep = good;
    hugeStep.maxStepSize = ~quint64(0) - 5;
    hugeStep.payload = PatchWriter::packUInt(~quint64(0) - 10) + PatchWriter::packUInt(20) + hugeStep.payload;
    QTest::newRow("step sizes that wrap when added") << c.oldData << newSize << hugeStep.bytes() << false;

    SingleStreamWriter::SingleStreamDiff none;
    QTest::newRow("no covers, no payload, no new data") << QByteArray() << 0 << none.bytes() << true;
}

void TestSingleStreamPatch::singleCorrupt()
{
    QFETCH(QByteArray, oldData);
    QFETCH(int, newSize);
    QFETCH(QByteArray, diff);
    QFETCH(bool, expectOk);
    const SingleOutcome outcome = applySingle(oldData, newSize, diff);
    QCOMPARE(outcome.ok, expectOk);
    QVERIFY(outcome.guardsIntact);
}

void TestSingleStreamPatch::singleNeedsStepMemory()
{
    const PatchCase c = PatchWriter::randomCase(31, 20000, 20000, 8);
    for (bool compress : {false, true}) {
        const QByteArray diff = SingleStreamWriter::singleStreamDiff(c, 3, compress).bytes();
        // Exactly maxStepSize + 12288 runs with parts of 4096; one byte less is refused.
        const SingleOutcome exact = applySingle(c.oldData, c.newData.size(), diff, 0, 0);
        QVERIFY(exact.ok);
        QCOMPARE(exact.written, c.newData);
        const SingleOutcome tooSmall = applySingle(c.oldData, c.newData.size(), diff, 0, -1);
        QVERIFY(!tooSmall.ok);
        QVERIFY(tooSmall.written.isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestSingleStreamPatch)
#include "TestSingleStreamPatch.moc"
