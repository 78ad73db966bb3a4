// Readers of the diff formats: the "HDIFF13" head, the raw head, the "HDIFFSF20" head, the cover
// decoder and the cover lists.

#include "patch/core/compressed_diff.h"
#include "patch/os/zstd_decompress_plugin.h"
#include "support/CountingDecompressPlugin.h"
#include "support/PatchRun.h"
#include "support/PatchWriter.h"
#include "support/RecordingInputStream.h"

#include <QTest>

namespace
{
QByteArray zeros(int n)
{
    return QByteArray(n, '\0');
}

// "HDIFF13&" + type + NUL + the eleven numbers.
QByteArray compressedHead(const QByteArray& type, const QList<quint64>& numbers)
{
    QByteArray out = "HDIFF13&" + type + '\0';
    for (quint64 n : numbers)
        out += PatchWriter::packUInt(n);
    return out;
}

} // namespace

class TestCompressedDiffFormat : public QObject
{
    Q_OBJECT
private slots:
    void minimalHeadFromLiteralBytes();
    void headParsing_data();
    void headParsing();
    void headFields();
    void rawHead_data();
    void rawHead();
    void singleStreamHead_data();
    void singleStreamHead();
    void coverDecoding();
    void coverReaderStopsAtItsCount();
    void coverLists_data();
    void coverLists();
    void compressedCoverListNeedsAnAcceptingPlugin();
};

void TestCompressedDiffFormat::minimalHeadFromLiteralBytes()
{
    const unsigned char minimal[20] = {'H', 'D', 'I', 'F', 'F', '1', '3', '&', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const QByteArray bytes((const char*)minimal, 20);
    RecordingInputStream diff(bytes);
    dpatch_TCompressedDiffInfo info;
    _TCompressedDiffHead head;
    QVERIFY(_read_compressed_diff_head(&info, &head, diff.stream()));
    QCOMPARE(QByteArray(info.compressType), QByteArray());
    QCOMPARE(info.compressedSectionCount, 0);
    QCOMPARE(info.newDataSize, quint64(0));
    QCOMPARE(head.headEndPos, quint64(20));
    QCOMPARE(head.coverEndPos, quint64(20));
    dpatch_TCompressedDiffInfo summary;
    QVERIFY(getCompressedDiffInfo(&summary, diff.stream()));
    QCOMPARE(summary.compressedSectionCount, 0);
}

void TestCompressedDiffFormat::headParsing_data()
{
    QTest::addColumn<QByteArray>("diff");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("type");
    const QList<quint64> none(11, 0);
    QTest::newRow("zstd type") << compressedHead("zstd", none) << true << QByteArray("zstd");
    QTest::newRow("type of 259 characters")
        << compressedHead(QByteArray(259, 'z'), none) << true << QByteArray(259, 'z');
    QTest::newRow("type of 260 characters fails")
        << compressedHead(QByteArray(260, 'z'), none) << false << QByteArray();
    QTest::newRow("empty stream") << QByteArray() << false << QByteArray();
    QTest::newRow("magic followed by another character")
        << QByteArray("HDIFF13x&") + zeros(12) << false << QByteArray();
    QTest::newRow("other magic") << QByteArray("HDIFF19&") + zeros(12) << false << QByteArray();
    QTest::newRow("no separator") << QByteArray("HDIFF13") + zeros(13) << false << QByteArray();
    // The separator is looked for in the first 260 bytes only.
    QTest::newRow("separator at index 260") << QByteArray(260, 'H') + "&" + zeros(12) << false << QByteArray();
    QTest::newRow("no terminator after the type") << QByteArray("HDIFF13&zstd") << false << QByteArray();
    QTest::newRow("stream ends in the numbers") << compressedHead("", none).left(15) << false << QByteArray();
    QTest::newRow("number past 64 bits") << QByteArray("HDIFF13&", 8) + '\0' +
                                                QByteArray("\x82\x80\x80\x80\x80\x80\x80\x80\x80\x00", 10) + zeros(10)
                                         << false << QByteArray();
}

void TestCompressedDiffFormat::headParsing()
{
    QFETCH(QByteArray, diff);
    QFETCH(bool, ok);
    QFETCH(QByteArray, type);
    RecordingInputStream stream(diff);
    dpatch_TCompressedDiffInfo info;
    QCOMPARE(bool(getCompressedDiffInfo(&info, stream.stream())), ok);
    if (ok)
        QCOMPARE(QByteArray(info.compressType), type);
}

void TestCompressedDiffFormat::headFields()
{
    // Numbers in file order; two compressed sizes are set, whatever the type says.
    const QList<quint64> numbers = {1000, 2000, 3, 30, 0, 40, 17, 50, 0, 60, 1u << 20};
    const QByteArray bytes = compressedHead("", numbers);
    RecordingInputStream diff(bytes);
    dpatch_TCompressedDiffInfo info;
    _TCompressedDiffHead head;
    QVERIFY(_read_compressed_diff_head(&info, &head, diff.stream()));
    QCOMPARE(info.newDataSize, quint64(1000));
    QCOMPARE(info.oldDataSize, quint64(2000));
    QCOMPARE(info.compressedSectionCount, 2);
    const quint64 fields[] = {head.coverCount,
                              head.coverBufSize,
                              head.compressedCoverBufSize,
                              head.rleCtrlBufSize,
                              head.compressedRleCtrlBufSize,
                              head.rleCodeBufSize,
                              head.compressedRleCodeBufSize,
                              head.newDataDiffSize,
                              head.compressedNewDataDiffSize};
    for (int i = 0; i < 9; ++i)
        QCOMPARE(fields[i], numbers[i + 2]);
    QCOMPARE(head.headEndPos, quint64(bytes.size()));
    QCOMPARE(head.coverEndPos, quint64(bytes.size()) + 30);
}

void TestCompressedDiffFormat::rawHead_data()
{
    QTest::addColumn<QByteArray>("diff");
    QTest::addColumn<bool>("ok");
    auto head = [](quint64 count, quint64 lengths, quint64 incNew, quint64 incOld, quint64 newData) {
        return PatchWriter::packUInt(count) + PatchWriter::packUInt(lengths) + PatchWriter::packUInt(incNew) +
               PatchWriter::packUInt(incOld) + PatchWriter::packUInt(newData);
    };
    QTest::newRow("sections fit exactly") << head(1, 1, 1, 1, 2) + zeros(5) << true;
    QTest::newRow("lengths pass the end") << head(1, 6, 0, 0, 0) + zeros(5) << false;
    QTest::newRow("new increments pass the end") << head(1, 1, 5, 0, 0) + zeros(5) << false;
    QTest::newRow("old increments pass the end") << head(1, 1, 1, 4, 0) + zeros(5) << false;
    QTest::newRow("new data passes the end") << head(1, 1, 1, 1, 3) + zeros(5) << false;
    QTest::newRow("sizes that wrap when added") << head(1, quint64(-1), 2, 0, 0) + zeros(5) << false;
    QTest::newRow("empty diff") << QByteArray() << false;
    QTest::newRow("cut in the head") << head(1, 1, 1, 1, 300).left(5) << false;
}

void TestCompressedDiffFormat::rawHead()
{
    QFETCH(QByteArray, diff);
    QFETCH(bool, ok);
    RecordingInputStream stream(diff);
    _TRawDiffHead head;
    QCOMPARE(bool(_read_raw_diff_head(&head, stream.stream())), ok);
    if (ok) {
        QCOMPARE(head.headEndPos, quint64(5));
        QCOMPARE(head.coverEndPos, quint64(8));
    }
}

void TestCompressedDiffFormat::singleStreamHead_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<quint64>("diffInfoPos");
    QTest::addColumn<bool>("ok");
    QByteArray head = "HDIFFSF20&zstd" + QByteArray(1, '\0');
    for (quint64 n : {100ull, 200ull, 3ull, 400ull, 500ull, 60ull})
        head += PatchWriter::packUInt(n);
    const QByteArray prefix(33, 'p');
    QTest::newRow("at the start") << head + "payload" << quint64(0) << true;
    QTest::newRow("behind other bytes") << prefix + head + "payload" << quint64(33) << true;
    QTest::newRow("position at the stream end") << prefix << quint64(33) << false;
    QTest::newRow("position past the stream end") << prefix << quint64(34) << false;
    QTest::newRow("compressed-diff magic") << QByteArray("HDIFF13&") + zeros(12) << quint64(0) << false;
}

void TestCompressedDiffFormat::singleStreamHead()
{
    QFETCH(QByteArray, stream);
    QFETCH(quint64, diffInfoPos);
    QFETCH(bool, ok);
    RecordingInputStream input(stream);
    dpatch_TSingleDiffInfo info;
    QCOMPARE(bool(getSingleCompressedDiffInfo(&info, input.stream(), diffInfoPos)), ok);
    if (!ok)
        return;
    QCOMPARE(QByteArray(info.compressType), QByteArray("zstd"));
    QCOMPARE(info.newDataSize, quint64(100));
    QCOMPARE(info.oldDataSize, quint64(200));
    QCOMPARE(info.coverCount, quint64(3));
    QCOMPARE(info.maxStepSize, quint64(400));
    QCOMPARE(info.uncompressedSize, quint64(500));
    QCOMPARE(info.compressedSize, quint64(60));
    QCOMPARE(info.diffDataPos, quint64(15 + 1 + 2 + 1 + 2 + 2 + 1));
}

void TestCompressedDiffFormat::coverDecoding()
{
    // Backwards and overlapping in the old data, adjacent and spaced in the new data.
    const QList<PatchCover> covers = {{5000, 0, 100}, {10, 100, 50}, {20, 300, 4000}, {0, 4300, 0}, {70000, 4300, 1}};
    const QByteArray section = PatchWriter::encodeCovers(covers);
    RecordingInputStream stream(section);
    dpatch_byte cache[64];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, stream.stream(), 0, quint64(section.size()), cache, sizeof(cache));
    _TStreamCovers reader;
    _TStreamCovers_init(&reader, quint64(covers.size()), &clip, &clip, &clip, 1);
    bool ok = false;
    QVERIFY(readAllCovers(&reader.base, &ok) == covers);
    QVERIFY(ok);
    QVERIFY(reader.base.isFinished(&reader.base));

    // A decrement larger than the position before it wraps; the reader hands it out as it is.
    const QByteArray wrapping = PatchWriter::packUInt(3, 1, 1) + PatchWriter::packUInt(0) + PatchWriter::packUInt(1);
    RecordingInputStream wrapStream(wrapping);
    _TStreamCacheClip_init(&clip, wrapStream.stream(), 0, quint64(wrapping.size()), cache, sizeof(cache));
    _TStreamCovers_init(&reader, 1, &clip, &clip, &clip, 1);
    dpatch_TCover cover;
    QVERIFY(reader.base.readCover(&reader.base, &cover));
    QCOMPARE(cover.oldPos, quint64(-3));
}

void TestCompressedDiffFormat::coverReaderStopsAtItsCount()
{
    const QByteArray section = PatchWriter::encodeCovers({{1, 0, 2}, {3, 4, 5}});
    RecordingInputStream stream(section);
    dpatch_byte cache[64];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, stream.stream(), 0, quint64(section.size()), cache, sizeof(cache));
    _TStreamCovers reader;
    _TStreamCovers_init(&reader, 1, &clip, &clip, &clip, 1);
    dpatch_TCover cover;
    QVERIFY(reader.base.readCover(&reader.base, &cover));
    QCOMPARE(reader.base.leaveCoverCount(&reader.base), quint64(0));
    QVERIFY(!reader.base.readCover(&reader.base, &cover));
    QVERIFY(!reader.base.isFinished(&reader.base));

    // Bytes that run out inside a cover fail it.
    _TStreamCacheClip_init(&clip, stream.stream(), 0, quint64(section.size()) - 1, cache, sizeof(cache));
    _TStreamCovers_init(&reader, 2, &clip, &clip, &clip, 1);
    QVERIFY(reader.base.readCover(&reader.base, &cover));
    QVERIFY(!reader.base.readCover(&reader.base, &cover));
}

void TestCompressedDiffFormat::coverLists_data()
{
    QTest::addColumn<int>("compressMask");
    QTest::newRow("compressed diff, covers stored as is") << 0;
    QTest::newRow("compressed diff, covers compressed") << int(PatchWriter::kAllSectionsCompressed);
    QTest::newRow("raw diff") << -1;
}

void TestCompressedDiffFormat::coverLists()
{
    QFETCH(int, compressMask);
    // Enough covers that the list's cache is refilled many times.
    const PatchCase patchCase = PatchWriter::randomCase(31, 100000, 400000, 5000);
    const QByteArray bytes = compressMask < 0 ? PatchWriter::rawDiff(patchCase)
                                              : PatchWriter::compressedDiff(patchCase, compressMask).bytes();
    RecordingInputStream diff(bytes);
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    dpatch_TCoverList list;
    if (compressMask < 0)
        QVERIFY(dpatch_coverList_open_rawDiff(&list, diff.stream()));
    else
        QVERIFY(dpatch_coverList_open_compressedDiff(&list, diff.stream(), counting.plugin()));
    bool ok = false;
    QVERIFY(readAllCovers(list.covers, &ok) == patchCase.covers);
    QVERIFY(ok);
    QVERIFY(list.covers->isFinished(list.covers));
    QVERIFY(list.covers->close(list.covers));
    QCOMPARE(counting.openHandles(), 0);
    QVERIFY(list.covers->close(list.covers)); // a second close has nothing left to release
    QCOMPARE(counting.closeCount(), compressMask > 0 ? 1 : 0);
}

void TestCompressedDiffFormat::compressedCoverListNeedsAnAcceptingPlugin()
{
    const PatchCase patchCase = PatchWriter::randomCase(37, 1000, 2000, 10);
    PatchWriter::CompressedDiff compressed = PatchWriter::compressedDiff(patchCase, 1);
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    dpatch_TCoverList list;

    RecordingInputStream diff(compressed.bytes());
    QVERIFY(!dpatch_coverList_open_compressedDiff(&list, diff.stream(), nullptr));
    compressed.compressType = "lzma";
    RecordingInputStream refused(compressed.bytes());
    QVERIFY(!dpatch_coverList_open_compressedDiff(&list, refused.stream(), counting.plugin()));

    // A cover section that passes the end of the diff.
    PatchWriter::CompressedDiff stored = PatchWriter::compressedDiff(patchCase);
    stored.head[size_t(PatchWriter::CompressedDiff::decodedSizeIndex(PatchWriter::CoverSection))] = 1u << 30;
    RecordingInputStream tooLong(stored.bytes());
    QVERIFY(!dpatch_coverList_open_compressedDiff(&list, tooLong.stream(), nullptr));

    // A plugin that cannot open the section.
    compressed.compressType = "zstd";
    RecordingInputStream good(compressed.bytes());
    counting.setFailOpen(true);
    QVERIFY(!dpatch_coverList_open_compressedDiff(&list, good.stream(), counting.plugin()));
    QCOMPARE(counting.openHandles(), 0);
}

QTEST_GUILESS_MAIN(TestCompressedDiffFormat)
#include "TestCompressedDiffFormat.moc"
