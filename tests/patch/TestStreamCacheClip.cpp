// Memory streams, stream windows, the cache clip and the section clip over stored or compressed bytes.

#include "patch/core/stream_cache_clip.h"
#include "patch/core/streams.h"
#include "patch/os/zstd_decompress_plugin.h"
#include "support/CountingDecompressPlugin.h"
#include "support/PatchWriter.h"
#include "support/RecordingInputStream.h"

#include <QTest>

namespace
{
const dpatch_byte* bytesOf(const QByteArray& data)
{
    return (const dpatch_byte*)data.constData();
}

QByteArray counting(int n)
{
    QByteArray out(n, '\0');
    for (int i = 0; i < n; ++i)
        out[i] = char(i * 7 + 3);
    return out;
}
} // namespace

class TestStreamCacheClip : public QObject
{
    Q_OBJECT
private slots:
    void memoryStreamBounds_data();
    void memoryStreamBounds();
    void memoryOutputStreamWritesInPlace();
    void windowBounds_data();
    void windowBounds();
    void windowOutsideItsSourceIsEmpty();
    void emptyClip();
    void clipRefillsThroughASmallCache();
    void readDataToExactlyTheRest();
    void typeTextEdges_data();
    void typeTextEdges();
    void skipAndLittleEndian();
    void sectionClip_data();
    void sectionClip();
    void sectionClipDecodesCompressedBytes();
    void decompressToMemory();
};

void TestStreamCacheClip::memoryStreamBounds_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<quint64>("pos");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("ok");
    QTest::newRow("empty stream, empty read at 0") << 0 << quint64(0) << 0 << true;
    QTest::newRow("empty stream, empty read at 1") << 0 << quint64(1) << 0 << false;
    QTest::newRow("empty stream, one byte") << 0 << quint64(0) << 1 << false;
    QTest::newRow("read to the end") << 10 << quint64(4) << 6 << true;
    QTest::newRow("one byte past the end") << 10 << quint64(4) << 7 << false;
    QTest::newRow("position that would wrap") << 10 << quint64(-1) << 2 << false;
}

void TestStreamCacheClip::memoryStreamBounds()
{
    QFETCH(int, size);
    QFETCH(quint64, pos);
    QFETCH(int, length);
    QFETCH(bool, ok);
    const QByteArray data = counting(size);
    dpatch_TStreamInput input;
    dpatch_memStreamInput_init(&input, bytesOf(data), bytesOf(data) + data.size());
    QCOMPARE(input.streamSize, quint64(size));
    QByteArray out(length, '\0');
    QCOMPARE(bool(input.read(&input, pos, (dpatch_byte*)out.data(), (dpatch_byte*)out.data() + length)), ok);
    if (ok)
        QCOMPARE(out, data.mid(qsizetype(pos), length));

    QByteArray target(size, '\0');
    dpatch_TStreamOutput output;
    dpatch_memStreamOutput_init(&output, (dpatch_byte*)target.data(), (dpatch_byte*)target.data() + size);
    QCOMPARE(bool(output.write(&output, pos, bytesOf(out), bytesOf(out) + length)), ok);
}

void TestStreamCacheClip::memoryOutputStreamWritesInPlace()
{
    QByteArray target(8, '.');
    dpatch_TStreamOutput output;
    dpatch_memStreamOutput_init(&output, (dpatch_byte*)target.data(), (dpatch_byte*)target.data() + 8);
    const QByteArray data("abc");
    QVERIFY(output.write(&output, 2, bytesOf(data), bytesOf(data) + 3));
    QCOMPARE(target, QByteArray("..abc..."));
    QByteArray back(3, '\0');
    QVERIFY(output.readBack(&output, 2, (dpatch_byte*)back.data(), (dpatch_byte*)back.data() + 3));
    QCOMPARE(back, data);
}

void TestStreamCacheClip::windowBounds_data()
{
    QTest::addColumn<quint64>("pos");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("ok");
    // A window of bytes [5, 15) of a 20-byte stream.
    QTest::newRow("whole window") << quint64(0) << 10 << true;
    QTest::newRow("empty read at its size") << quint64(10) << 0 << true;
    QTest::newRow("one byte at its size") << quint64(10) << 1 << false;
    QTest::newRow("one byte past its end") << quint64(5) << 6 << false;
}

void TestStreamCacheClip::windowBounds()
{
    QFETCH(quint64, pos);
    QFETCH(int, length);
    QFETCH(bool, ok);
    const QByteArray data = counting(20);
    RecordingInputStream source(data);
    TStreamInputClip window;
    TStreamInputClip_init(&window, source.stream(), 5, 15);
    QCOMPARE(window.base.streamSize, quint64(10));
    QByteArray out(length, '\0');
    QCOMPARE(bool(window.base.read(&window.base, pos, (dpatch_byte*)out.data(), (dpatch_byte*)out.data() + length)),
             ok);
    if (ok)
        QCOMPARE(out, data.mid(5 + qsizetype(pos), length));

    QByteArray target(20, '.');
    dpatch_TStreamOutput output;
    dpatch_memStreamOutput_init(&output, (dpatch_byte*)target.data(), (dpatch_byte*)target.data() + 20);
    TStreamOutputClip outWindow;
    TStreamOutputClip_init(&outWindow, &output, 5, 15);
    QCOMPARE(bool(outWindow.base.write(&outWindow.base, pos, bytesOf(out), bytesOf(out) + length)), ok);
    if (ok && length > 0)
        QCOMPARE(target.mid(5 + qsizetype(pos), length), out);
}

void TestStreamCacheClip::windowOutsideItsSourceIsEmpty()
{
    const QByteArray data = counting(20);
    RecordingInputStream source(data);
    TStreamInputClip window;
    // An end before the beginning must not become a window of almost 2^64 bytes.
    TStreamInputClip_init(&window, source.stream(), 15, 5);
    QCOMPARE(window.base.streamSize, quint64(0));
    TStreamInputClip_init(&window, source.stream(), 5, 21);
    QCOMPARE(window.base.streamSize, quint64(0));
    dpatch_byte byte = 0;
    QVERIFY(!window.base.read(&window.base, 0, &byte, &byte + 1));
}

void TestStreamCacheClip::emptyClip()
{
    const QByteArray data = counting(20);
    RecordingInputStream source(data);
    dpatch_byte cache[16];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, source.stream(), 7, 7, cache, sizeof(cache));
    QCOMPARE(_TStreamCacheClip_streamSize(&clip), quint64(0));
    QVERIFY(_TStreamCacheClip_isFinish(&clip));
    QVERIFY(_TStreamCacheClip_accessData(&clip, 1) == nullptr);
    QVERIFY(_TStreamCacheClip_readData(&clip, 1) == nullptr);
    dpatch_StreamPos_t value = 0;
    QVERIFY(!_TStreamCacheClip_unpackUIntWithTag(&clip, &value, 0));
    char type[260];
    QVERIFY(!_TStreamCacheClip_readType_end(&clip, '\0', type));
    QVERIFY(_TStreamCacheClip_skipData(&clip, 0));
    QVERIFY(!_TStreamCacheClip_skipData(&clip, 1));
    QCOMPARE(source.reads.size(), 0);
}

void TestStreamCacheClip::clipRefillsThroughASmallCache()
{
    // Varints of every length through a 16-byte cache, which must keep unread bytes across refills.
    QByteArray encoded;
    QList<quint64> values;
    for (int i = 0; i < 300; ++i) {
        const quint64 value = (quint64(1) << (i % 64)) + quint64(i);
        values.append(value);
        encoded += PatchWriter::packUInt(value);
    }
    RecordingInputStream source("xx" + encoded + "yy");
    dpatch_byte cache[16];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, source.stream(), 2, 2 + quint64(encoded.size()), cache, sizeof(cache));
    for (quint64 value : values) {
        dpatch_StreamPos_t decoded = 0;
        QVERIFY(_TStreamCacheClip_unpackUIntWithTag(&clip, &decoded, 0));
        QCOMPARE(decoded, value);
    }
    QVERIFY(_TStreamCacheClip_isFinish(&clip));
    for (const auto& read : source.reads)
        QVERIFY(read.first + read.second <= 2 + quint64(encoded.size()));

    // Asking for more than the cache holds fails without consuming.
    _TStreamCacheClip_init(&clip, source.stream(), 0, 40, cache, sizeof(cache));
    QVERIFY(_TStreamCacheClip_accessData(&clip, 17) == nullptr);
    QCOMPARE(_TStreamCacheClip_streamSize(&clip), quint64(40));
}

void TestStreamCacheClip::readDataToExactlyTheRest()
{
    const QByteArray data = counting(100);
    RecordingInputStream source(data);
    dpatch_byte cache[16];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, source.stream(), 10, 90, cache, sizeof(cache));
    QVERIFY(_TStreamCacheClip_readData(&clip, 3) != nullptr);
    QByteArray out(78, '\0');
    QVERIFY(!_TStreamCacheClip_readDataTo(&clip, (dpatch_byte*)out.data(), (dpatch_byte*)out.data() + 78));
    QCOMPARE(_TStreamCacheClip_streamSize(&clip), quint64(77));
    QVERIFY(_TStreamCacheClip_readDataTo(&clip, (dpatch_byte*)out.data(), (dpatch_byte*)out.data() + 77));
    QCOMPARE(out.left(77), data.mid(13, 77));
    QVERIFY(_TStreamCacheClip_isFinish(&clip));
}

void TestStreamCacheClip::typeTextEdges_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("cacheSize");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("text and terminator") << QByteArray("zstd\0rest", 9) << 4096 << true << QByteArray("zstd");
    QTest::newRow("empty text") << QByteArray("\0", 1) << 4096 << true << QByteArray();
    QTest::newRow("no terminator at the end of the range") << QByteArray("zstd") << 4096 << false << QByteArray();
    QTest::newRow("259 characters") << QByteArray(259, 'a') + '\0' << 4096 << true << QByteArray(259, 'a');
    QTest::newRow("260 characters") << QByteArray(260, 'a') + '\0' << 4096 << false << QByteArray();
    QTest::newRow("cache smaller than 260 bytes")
        << QByteArray("ab\0", 3) + QByteArray(300, 'c') << 100 << false << QByteArray();
    QTest::newRow("short range through a small cache") << QByteArray("ab\0", 3) << 100 << true << QByteArray("ab");
}

void TestStreamCacheClip::typeTextEdges()
{
    QFETCH(QByteArray, data);
    QFETCH(int, cacheSize);
    QFETCH(bool, ok);
    QFETCH(QByteArray, text);
    RecordingInputStream source(data);
    QByteArray cache(cacheSize, '\0');
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, source.stream(), 0, quint64(data.size()), (dpatch_byte*)cache.data(),
                           size_t(cacheSize));
    char type[260];
    QCOMPARE(bool(_TStreamCacheClip_readType_end(&clip, '\0', type)), ok);
    if (ok) {
        QCOMPARE(QByteArray(type), text);
        QCOMPARE(_TStreamCacheClip_streamSize(&clip), quint64(data.size() - text.size() - 1));
    }
}

void TestStreamCacheClip::skipAndLittleEndian()
{
    const QByteArray data = QByteArray(5000, 'x') + QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08\x09", 9);
    RecordingInputStream source(data);
    dpatch_byte cache[64];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, source.stream(), 0, quint64(data.size()), cache, sizeof(cache));
    QVERIFY(_TStreamCacheClip_skipData(&clip, 5000));
    dpatch_StreamPos_t value = 1;
    QVERIFY(_TStreamCacheClip_readUInt(&clip, &value, 0));
    QCOMPARE(value, quint64(0));
    QVERIFY(!_TStreamCacheClip_readUInt(&clip, &value, 9));
    QVERIFY(_TStreamCacheClip_readUInt(&clip, &value, 3));
    QCOMPARE(value, quint64(0x030201));
    QVERIFY(_TStreamCacheClip_readUInt(&clip, &value, 6));
    QCOMPARE(value, quint64(0x090807060504));
    QVERIFY(!_TStreamCacheClip_readUInt(&clip, &value, 1));
    QVERIFY(!_TStreamCacheClip_skipData(&clip, 1));

    // A clip without cache can skip nothing (and must not spin trying).
    _TStreamCacheClip_init(&clip, source.stream(), 0, 10, cache, 0);
    QVERIFY(!_TStreamCacheClip_skipData(&clip, 5));
}

void TestStreamCacheClip::sectionClip_data()
{
    QTest::addColumn<quint64>("curPos");
    QTest::addColumn<quint64>("dataSize");
    QTest::addColumn<bool>("withClip");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint64>("endPos");
    QTest::newRow("stored section") << quint64(10) << quint64(20) << true << true << quint64(30);
    QTest::newRow("section ending at the stream end") << quint64(10) << quint64(90) << true << true << quint64(100);
    QTest::newRow("section passing the stream end") << quint64(10) << quint64(91) << true << false << quint64(10);
    QTest::newRow("size that wraps") << quint64(10) << quint64(-5) << true << false << quint64(10);
    QTest::newRow("skipped section") << quint64(10) << quint64(20) << false << true << quint64(30);
    QTest::newRow("skipped section that wraps") << quint64(10) << quint64(-5) << false << false << quint64(10);
}

void TestStreamCacheClip::sectionClip()
{
    QFETCH(quint64, curPos);
    QFETCH(quint64, dataSize);
    QFETCH(bool, withClip);
    QFETCH(bool, ok);
    QFETCH(quint64, endPos);
    const QByteArray data = counting(100);
    RecordingInputStream source(data);
    dpatch_byte cache[32];
    TStreamCacheClip clip;
    _TDecompressInputStream decompresser;
    dpatch_StreamPos_t pos = curPos;
    QCOMPARE(bool(getStreamClip(withClip ? &clip : nullptr, &decompresser, dataSize, 0, source.stream(), &pos, nullptr,
                                cache, sizeof(cache))),
             ok);
    QCOMPARE(pos, endPos);
    if (ok && withClip) {
        QByteArray out(int(dataSize), '\0');
        QVERIFY(_TStreamCacheClip_readDataTo(&clip, (dpatch_byte*)out.data(), (dpatch_byte*)out.data() + out.size()));
        QCOMPARE(out, data.mid(qsizetype(curPos), qsizetype(dataSize)));
    }
}

void TestStreamCacheClip::sectionClipDecodesCompressedBytes()
{
    const QByteArray plain = counting(50000);
    const QByteArray frame = PatchWriter::zstdFrame(plain);
    // The compressed section sits between other bytes; the next section follows directly.
    const QByteArray stream = "head" + frame + "next";
    RecordingInputStream source(stream);
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    dpatch_byte cache[300];
    TStreamCacheClip clip;
    _TDecompressInputStream decompresser;
    dpatch_StreamPos_t pos = 4;
    QVERIFY(getStreamClip(&clip, &decompresser, quint64(plain.size()), quint64(frame.size()), source.stream(), &pos,
                          counting.plugin(), cache, sizeof(cache)));
    QCOMPARE(pos, quint64(4 + frame.size()));
    QByteArray out(plain.size(), '\0');
    QVERIFY(_TStreamCacheClip_readDataTo(&clip, (dpatch_byte*)out.data(), (dpatch_byte*)out.data() + out.size()));
    QVERIFY(out == plain);
    QVERIFY(_TStreamCacheClip_isFinish(&clip));
    for (const auto& read : source.reads)
        QVERIFY(read.first >= 4 && read.first + read.second <= quint64(4 + frame.size()));
    _TDecompressInputStream_close(&decompresser);
    QCOMPARE(counting.openHandles(), 0);
    _TDecompressInputStream_close(&decompresser); // closing twice releases nothing twice
    _TDecompressInputStream_close(nullptr);
    QCOMPARE(counting.closeCount(), 1);

    // An open that fails leaves the position where it was.
    counting.setFailOpen(true);
    pos = 4;
    QVERIFY(!getStreamClip(&clip, &decompresser, quint64(plain.size()), quint64(frame.size()), source.stream(), &pos,
                           counting.plugin(), cache, sizeof(cache)));
    QCOMPARE(pos, quint64(4));
    QVERIFY(!getStreamClip(&clip, &decompresser, quint64(plain.size()), quint64(frame.size()), source.stream(), &pos,
                           nullptr, cache, sizeof(cache)));
}

void TestStreamCacheClip::decompressToMemory()
{
    const QByteArray plain = counting(10000);
    const QByteArray frame = PatchWriter::zstdFrame(plain);
    CountingDecompressPlugin counting(&zstdDecompressPlugin);
    QByteArray out(plain.size(), '\0');
    QVERIFY(dpatch_decompress_mem(counting.plugin(), bytesOf(frame), bytesOf(frame) + frame.size(),
                                  (dpatch_byte*)out.data(), (dpatch_byte*)out.data() + out.size()));
    QVERIFY(out == plain);
    QByteArray tooLong(plain.size() + 1, '\0');
    QVERIFY(!dpatch_decompress_mem(counting.plugin(), bytesOf(frame), bytesOf(frame) + frame.size(),
                                   (dpatch_byte*)tooLong.data(), (dpatch_byte*)tooLong.data() + tooLong.size()));
    QCOMPARE(counting.openHandles(), 0);

    _TDecompressInputStream stream;
    RecordingInputStream source(frame);
    QVERIFY(_TDecompressInputStream_open(&stream, quint64(plain.size()), counting.plugin(), source.stream(), 0,
                                         quint64(frame.size())));
    QCOMPARE(stream.base.streamSize, quint64(plain.size()));
    QVERIFY(stream.base.read(&stream.base, 0, (dpatch_byte*)out.data(), (dpatch_byte*)out.data() + out.size()));
    QVERIFY(out == plain);
    _TDecompressInputStream_close(&stream);
    QCOMPARE(counting.openHandles(), 0);
}

QTEST_GUILESS_MAIN(TestStreamCacheClip)
#include "TestStreamCacheClip.moc"
