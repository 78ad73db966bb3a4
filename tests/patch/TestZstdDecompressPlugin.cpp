// The zstd plugin against frames made by libzstd and by the zstd tool: exact sections, any part sizes,
// several frames, truncated and corrupt data.

#include "patch/os/zstd_decompress_plugin.h"
#include "support/RandomBytes.h"
#include "support/StderrCapture.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <zstd.h>

namespace
{
// A stream over memory that remembers which bytes were asked for and can be made to fail.
struct WatchedStream
{
    dpatch_TStreamInput base;
    QByteArray data;
    quint64 lowestRead = ~quint64(0);
    quint64 highestReadEnd = 0;
    bool failReads = false;

    explicit WatchedStream(const QByteArray& bytes) : data(bytes)
    {
        base.streamOwner = this;
        base.streamSize = quint64(data.size());
        base.read = readWatched;
    }

    static BOOL readWatched(const dpatch_TStreamInput* stream, dpatch_StreamPos_t pos, dpatch_byte* out,
                            dpatch_byte* out_end)
    {
        WatchedStream* self = static_cast<WatchedStream*>(stream->streamOwner);
        const quint64 length = quint64(out_end - out);
        if (self->failReads || length > quint64(self->data.size()) || pos > quint64(self->data.size()) - length)
            return 0;
        self->lowestRead = qMin(self->lowestRead, pos);
        self->highestReadEnd = qMax(self->highestReadEnd, pos + length);
        memcpy(out, self->data.constData() + pos, length);
        return 1;
    }
};

// Text-like data that compresses well but not trivially.
QByteArray wordyBytes(qsizetype size, quint32 seed)
{
    static const char* words[] = {"patch ", "old ", "new ", "cover ", "stream ", "file\n", "pelwinter ", "data "};
    QRandomGenerator generator(seed);
    QByteArray data;
    while (data.size() < size)
        data += words[generator.bounded(8)];
    data.truncate(size);
    return data;
}

QByteArray compress(const QByteArray& data, int level, bool checksum = false)
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(data.size()))), '\0');
    const size_t written =
        ZSTD_compress2(context, out.data(), size_t(out.size()), data.constData(), size_t(data.size()));
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(written))
        return QByteArray();
    out.truncate(qsizetype(written));
    return out;
}

QByteArray skippableFrame(const QByteArray& payload)
{
    QByteArray frame("\x50\x2a\x4d\x18", 4);
    const quint32 size = quint32(payload.size());
    for (int i = 0; i < 4; ++i)
        frame += char((size >> (8 * i)) & 0xff);
    return frame + payload;
}

// Decodes [begin, end) of stream in parts of the given sizes (cycled) until want bytes are out.
bool decodeInParts(WatchedStream& stream, quint64 begin, quint64 end, qsizetype want, const QList<int>& partSizes,
                   QByteArray* decoded)
{
    dpatch_TDecompressHandle handle =
        zstdDecompressPlugin.open(&zstdDecompressPlugin, quint64(want), &stream.base, begin, end);
    if (!handle)
        return false;
    decoded->resize(want);
    bool ok = true;
    qsizetype done = 0;
    for (int i = 0; ok && done < want; ++i) {
        const qsizetype part = qMin<qsizetype>(partSizes[i % partSizes.size()], want - done);
        auto* out = reinterpret_cast<dpatch_byte*>(decoded->data()) + done;
        ok = zstdDecompressPlugin.decompressPart(handle, out, out + part);
        done += part;
    }
    const bool closed = zstdDecompressPlugin.close(&zstdDecompressPlugin, handle);
    return ok && closed;
}

QByteArray zstdTool(const QStringList& arguments, const QByteArray& input)
{
    QProcess process;
    process.start(QStandardPaths::findExecutable("zstd"), arguments);
    if (!process.waitForStarted())
        return QByteArray();
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QByteArray();
    return process.readAllStandardOutput();
}
} // namespace

class TestZstdDecompressPlugin : public QObject
{
    Q_OBJECT
private slots:
    void canOpenOnlyZstd_data();
    void canOpenOnlyZstd();
    void decodesLibraryFrames_data();
    void decodesLibraryFrames();
    void decodesToolFrames_data();
    void decodesToolFrames();
    void readsExactlyItsSection();
    void failsBadData_data();
    void failsBadData();
    void failsWhenCodeStreamFails();
    void refusesInvertedSection();
    void closes();
};

void TestZstdDecompressPlugin::canOpenOnlyZstd_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("zstd") << QByteArray("zstd") << true;
    QTest::newRow("empty") << QByteArray("") << false;
    QTest::newRow("upper case") << QByteArray("ZSTD") << false;
    QTest::newRow("trailing space") << QByteArray("zstd ") << false;
    QTest::newRow("longer name") << QByteArray("zstdx") << false;
    QTest::newRow("prefix only") << QByteArray("zst") << false;
    QTest::newRow("other codec") << QByteArray("zlib") << false;
}

void TestZstdDecompressPlugin::canOpenOnlyZstd()
{
    QFETCH(QByteArray, type);
    QFETCH(bool, accepted);
    QCOMPARE(bool(zstdDecompressPlugin.canOpen(type.constData())), accepted);
}

void TestZstdDecompressPlugin::decodesLibraryFrames_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QList<int>>("parts");
    const QByteArray words = wordyBytes(700000, 1);
    const QByteArray noise = randomBytes(2500000, 2); // stored blocks: fetch boundaries fall inside them
    const QByteArray zeros(3 * 1024 * 1024, '\0');    // far more output than one call's buffer
    const QByteArray small = wordyBytes(1000, 3);
    QTest::newRow("one part") << words << compress(words, 3) << QList<int>{700000};
    QTest::newRow("single bytes") << small << compress(small, 1) << QList<int>{1};
    QTest::newRow("odd part sizes") << words << compress(words, 19, true) << QList<int>{1, 7, 4096, 131072, 3, 65537};
    QTest::newRow("incompressible") << noise << compress(noise, 3) << QList<int>{100000, 1, 31};
    // Parts of at least the output area are decompressed in place, the others through the area.
    QTest::newRow("in place and through the area")
        << noise << compress(noise, 3) << QList<int>{131072, 7, 1000000, 131071, 131073, 1};
    QTest::newRow("expands hugely") << zeros << compress(zeros, 1) << QList<int>{1000000, 5};
    QTest::newRow("two frames") << words + noise << compress(words, 3) + compress(noise, 1) << QList<int>{333333};
    QTest::newRow("part ends at frame end")
        << small + small << compress(small, 3) + compress(small, 5) << QList<int>{1000};
    QTest::newRow("empty frame between") << small + small
                                         << compress(small, 3) + compress(QByteArray(), 3) + compress(small, 3)
                                         << QList<int>{1000};
    QTest::newRow("skippable frames around")
        << small << skippableFrame("meta") + compress(small, 3) + skippableFrame(randomBytes(300000, 4))
        << QList<int>{999, 1};
    QTest::newRow("empty section, nothing asked") << QByteArray() << QByteArray() << QList<int>{1};
}

void TestZstdDecompressPlugin::decodesLibraryFrames()
{
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, section);
    QFETCH(QList<int>, parts);
    WatchedStream stream(section);
    QByteArray decoded;
    QVERIFY(decodeInParts(stream, 0, quint64(section.size()), plain.size(), parts, &decoded));
    QVERIFY(decoded == plain);

    // Asking for one byte more than the section holds fails.
    if (!plain.isEmpty())
        QVERIFY(!decodeInParts(stream, 0, quint64(section.size()), plain.size() + 1, QList<int>{int(plain.size()), 1},
                               &decoded));
}

void TestZstdDecompressPlugin::decodesToolFrames_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("default level") << QStringList{"-q", "-c"};
    QTest::newRow("fast without checksum") << QStringList{"-q", "-c", "--fast=3", "--no-check"};
    QTest::newRow("high level long window") << QStringList{"-q", "-c", "-19", "--long=24"};
    QTest::newRow("without content size") << QStringList{"-q", "-c", "--no-content-size"};
}

void TestZstdDecompressPlugin::decodesToolFrames()
{
    QFETCH(QStringList, arguments);
    if (QStandardPaths::findExecutable("zstd").isEmpty())
        QSKIP("the zstd tool is not installed");
    const QByteArray plain = wordyBytes(400000, 5) + randomBytes(200000, 6) + wordyBytes(300000, 7);
    const QByteArray section = zstdTool(arguments, plain);
    QVERIFY(!section.isEmpty());
    WatchedStream stream(section);
    QByteArray decoded;
    QVERIFY(decodeInParts(stream, 0, quint64(section.size()), plain.size(), QList<int>{4096, 17, 250000}, &decoded));
    QVERIFY(decoded == plain);
}

void TestZstdDecompressPlugin::readsExactlyItsSection()
{
    // Three sections back to back; the middle one must never read a byte of its neighbours, whose bytes are
    // themselves valid frames that would decode happily.
    const QByteArray before = compress(wordyBytes(5000, 8), 3);
    const QByteArray plain = randomBytes(400000, 9) + wordyBytes(300000, 10);
    const QByteArray middle = compress(plain, 3);
    const QByteArray after = compress(wordyBytes(5000, 11), 3);
    WatchedStream stream(before + middle + after);
    const quint64 begin = quint64(before.size());
    const quint64 end = begin + quint64(middle.size());
    QByteArray decoded;
    QVERIFY(decodeInParts(stream, begin, end, plain.size(), QList<int>{70000}, &decoded));
    QVERIFY(decoded == plain);
    QCOMPARE(stream.lowestRead, begin);
    QCOMPARE(stream.highestReadEnd, end);

    stream.highestReadEnd = 0;
    QVERIFY(!decodeInParts(stream, begin, end, plain.size() + 10, QList<int>{int(plain.size()), 10}, &decoded));
    QCOMPARE(stream.highestReadEnd, end);
}

void TestZstdDecompressPlugin::failsBadData_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<int>("plainSize");
    const QByteArray plain = wordyBytes(300000, 12);
    const QByteArray frame = compress(plain, 3);
    const QByteArray checked = compress(plain, 3, true);
    const int size = int(plain.size());
    QByteArray badMagic = frame;
    badMagic[0] = char(badMagic[0] ^ 0x01);
    QByteArray badBlockType = frame;
    // Frame header of a single-segment frame with known size: magic 4, descriptor 1, size field; the first
    // block header follows. Setting both block-type bits gives the reserved type.
    const int headerEnd = 4 + 1 +
                          ((quint8(frame[4]) >> 6) == 2   ? 4
                           : (quint8(frame[4]) >> 6) == 3 ? 8
                                                          : 2) +
                          (((quint8(frame[4]) >> 5) & 1) ? 0 : 1);
    badBlockType[headerEnd] = char(badBlockType[headerEnd] | 0x06);
    QByteArray flipped = checked;
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x5a);
    QByteArray badChecksum = checked;
    badChecksum[badChecksum.size() - 1] = char(badChecksum[badChecksum.size() - 1] ^ 0xff);
    QTest::newRow("truncated to one byte") << frame.left(1) << size;
    QTest::newRow("truncated after header") << frame.left(headerEnd) << size;
    QTest::newRow("truncated in the middle") << frame.left(frame.size() / 2) << size;
    QTest::newRow("last byte missing") << frame.left(frame.size() - 1) << size;
    QTest::newRow("wrong magic") << badMagic << size;
    QTest::newRow("reserved block type") << badBlockType << size;
    QTest::newRow("flipped byte in checked frame") << flipped << size;
    QTest::newRow("wrong checksum") << badChecksum << size;
    QTest::newRow("garbage after the frame") << frame + QByteArray("junk") << size + 1;
    QTest::newRow("empty section asked for data") << QByteArray() << 1;
    QTest::newRow("not zstd at all") << wordyBytes(1000, 13) << 100;
}

void TestZstdDecompressPlugin::failsBadData()
{
    QFETCH(QByteArray, section);
    QFETCH(int, plainSize);
    WatchedStream stream(section);
    QByteArray decoded;
    QVERIFY(!decodeInParts(stream, 0, quint64(section.size()), plainSize, QList<int>{50000}, &decoded));
    QVERIFY(stream.highestReadEnd <= quint64(section.size()));
}

void TestZstdDecompressPlugin::failsWhenCodeStreamFails()
{
    const QByteArray plain = randomBytes(3000000, 14); // several fetches of compressed input, 1 MiB each
    WatchedStream stream(compress(plain, 1));
    dpatch_TDecompressHandle handle = zstdDecompressPlugin.open(&zstdDecompressPlugin, quint64(plain.size()),
                                                                &stream.base, 0, stream.base.streamSize);
    QVERIFY(handle);
    QByteArray decoded(plain.size(), '\0');
    auto* out = reinterpret_cast<dpatch_byte*>(decoded.data());
    QVERIFY(zstdDecompressPlugin.decompressPart(handle, out, out + 10));
    stream.failReads = true;
    QVERIFY(!zstdDecompressPlugin.decompressPart(handle, out + 10, out + decoded.size()));
    QVERIFY(zstdDecompressPlugin.close(&zstdDecompressPlugin, handle));
}

void TestZstdDecompressPlugin::refusesInvertedSection()
{
    WatchedStream stream(compress("abc", 1));
    QVERIFY(!zstdDecompressPlugin.open(&zstdDecompressPlugin, 3, &stream.base, 5, 4));
}

void TestZstdDecompressPlugin::closes()
{
    StderrCapture capture;
    QVERIFY(zstdDecompressPlugin.close(&zstdDecompressPlugin, nullptr));
    WatchedStream stream(compress("abc", 1));
    // Closing a handle that never decoded anything, and one that did.
    dpatch_TDecompressHandle unused = zstdDecompressPlugin.open(&zstdDecompressPlugin, 3, &stream.base, 0, 1);
    QVERIFY(unused);
    QVERIFY(zstdDecompressPlugin.close(&zstdDecompressPlugin, unused));
    QByteArray decoded;
    QVERIFY(decodeInParts(stream, 0, stream.base.streamSize, 3, QList<int>{2}, &decoded));
    QCOMPARE(decoded, QByteArray("abc"));
    QCOMPARE(capture.take(), QByteArray());
}

QTEST_GUILESS_MAIN(TestZstdDecompressPlugin)
#include "TestZstdDecompressPlugin.moc"
