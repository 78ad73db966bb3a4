// Tagged varints against the format's own byte vectors, in memory and through a cache clip.

#include "patch/core/stream_cache_clip.h"
#include "patch/core/streams.h"
#include "patch/core/varint.h"
#include "support/PatchWriter.h"

#include <QRandomGenerator>
#include <QTest>

namespace
{
QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int v : values)
        result.append((char)v);
    return result;
}

const dpatch_byte* begin(const QByteArray& data)
{
    return (const dpatch_byte*)data.constData();
}
} // namespace

class TestTaggedVarint : public QObject
{
    Q_OBJECT
private slots:
    void knownEncodings_data();
    void knownEncodings();
    void decoderLimits_data();
    void decoderLimits();
    void writerRefusesWhatDoesNotFit();
    void engineAndTestWriterAgree();
    void clipDecoderLimits_data();
    void clipDecoderLimits();
};

void TestTaggedVarint::knownEncodings_data()
{
    QTest::addColumn<quint64>("value");
    QTest::addColumn<uint>("tagBit");
    QTest::addColumn<uint>("tag");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("zero") << quint64(0) << 0u << 0u << bytes({0x00});
    QTest::newRow("largest one-byte value") << quint64(127) << 0u << 0u << bytes({0x7F});
    QTest::newRow("first two-byte value") << quint64(128) << 0u << 0u << bytes({0x81, 0x00});
    QTest::newRow("300") << quint64(300) << 0u << 0u << bytes({0x82, 0x2C});
    QTest::newRow("sign tag with small value") << quint64(5) << 1u << 1u << bytes({0x85});
    QTest::newRow("rle copy run of 41") << quint64(40) << 2u << 3u << bytes({0xE0, 0x28});
    QTest::newRow("largest value, ten bytes")
        << ~quint64(0) << 0u << 0u << bytes({0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    QTest::newRow("largest value with two tag bits")
        << ~quint64(0) << 2u << 1u << bytes({0x61, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
}

void TestTaggedVarint::knownEncodings()
{
    QFETCH(quint64, value);
    QFETCH(uint, tagBit);
    QFETCH(uint, tag);
    QFETCH(QByteArray, encoded);

    QCOMPARE(dpatch_packUIntWithTag_outSize(value, tagBit), uint(encoded.size()));
    dpatch_byte out[16] = {};
    dpatch_byte* pos = out;
    QVERIFY(dpatch_packUIntWithTag(&pos, out + sizeof(out), value, tag, tagBit));
    QCOMPARE(QByteArray((const char*)out, int(pos - out)), encoded);

    const dpatch_byte* src = begin(encoded);
    dpatch_StreamPos_t decoded = 0;
    QVERIFY(dpatch_unpackUIntWithTag(&src, src + encoded.size(), &decoded, tagBit));
    QCOMPARE(decoded, value);
    QCOMPARE(src, begin(encoded) + encoded.size());
    QCOMPARE(uint(encoded[0]) >> (8 - tagBit) & ((1u << tagBit) - 1), tag);
}

void TestTaggedVarint::decoderLimits_data()
{
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint64>("value");
    QTest::newRow("non-minimal zero is accepted") << bytes({0x80, 0x80, 0x00}) << true << quint64(0);
    QTest::newRow("ends inside the number") << bytes({0x81, 0x80}) << false << quint64(0);
    QTest::newRow("empty input") << QByteArray() << false << quint64(0);
    // 2^57 decoded so far and one more byte wanted: the value would pass 64 bits.
    QTest::newRow("more than 64 bits") << bytes({0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}) << false
                                       << quint64(0);
    QTest::newRow("long non-minimal form fits in memory")
        << bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x05}) << true << quint64(5);
}

void TestTaggedVarint::decoderLimits()
{
    QFETCH(QByteArray, encoded);
    QFETCH(bool, ok);
    QFETCH(quint64, value);
    const dpatch_byte* src = begin(encoded);
    dpatch_StreamPos_t decoded = 0;
    QCOMPARE(bool(dpatch_unpackUIntWithTag(&src, src + encoded.size(), &decoded, 0)), ok);
    if (ok)
        QCOMPARE(decoded, value);
    else
        QCOMPARE(src, begin(encoded));
}

void TestTaggedVarint::writerRefusesWhatDoesNotFit()
{
    dpatch_byte out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    dpatch_byte* pos = out;
    QVERIFY(!dpatch_packUIntWithTag(&pos, out + 1, 300, 0, 0));
    QVERIFY(!dpatch_packUIntWithTag(&pos, out + 4, 1, 2, 1)); // tag wider than its bits
    QCOMPARE(pos, out);
    QCOMPARE(out[0], dpatch_byte(0xAA));
}

void TestTaggedVarint::engineAndTestWriterAgree()
{
    // Values of every bit length with every tag, against the test writer's independent encoder.
    QRandomGenerator random(42);
    for (unsigned int tagBit = 0; tagBit <= 2; ++tagBit) {
        for (int bits = 0; bits <= 64; ++bits) {
            const quint64 value = bits == 0 ? 0 : (random.generate64() >> (64 - bits)) | (quint64(1) << (bits - 1));
            const unsigned int tag = random.bounded(1u << tagBit);
            const QByteArray expected = PatchWriter::packUInt(value, int(tagBit), int(tag));
            dpatch_byte out[16];
            dpatch_byte* pos = out;
            QVERIFY(dpatch_packUIntWithTag(&pos, out + sizeof(out), value, tag, tagBit));
            QCOMPARE(QByteArray((const char*)out, int(pos - out)), expected);
            const dpatch_byte* src = begin(expected);
            dpatch_StreamPos_t decoded = 0;
            QVERIFY(dpatch_unpackUIntWithTag(&src, src + expected.size(), &decoded, tagBit));
            QCOMPARE(decoded, value);
        }
    }
}

void TestTaggedVarint::clipDecoderLimits_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("rangeEnd");
    QTest::addColumn<bool>("ok");
    QTest::newRow("last byte of the range") << bytes({0x82, 0x2C}) << 2 << true;
    QTest::newRow("needs a byte beyond the range") << bytes({0x82, 0x2C}) << 1 << false;
    QTest::newRow("eleven bytes") << bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x05}) << 11
                                  << true;
    QTest::newRow("twelve bytes") << bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x05})
                                  << 12 << false;
}

void TestTaggedVarint::clipDecoderLimits()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, rangeEnd);
    QFETCH(bool, ok);
    dpatch_TStreamInput input;
    dpatch_memStreamInput_init(&input, begin(stream), begin(stream) + stream.size());
    dpatch_byte cache[64];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, &input, 0, rangeEnd, cache, sizeof(cache));
    dpatch_StreamPos_t value = 0;
    QCOMPARE(bool(_TStreamCacheClip_unpackUIntWithTag(&clip, &value, 0)), ok);
    if (ok)
        QVERIFY(_TStreamCacheClip_isFinish(&clip));
}

QTEST_GUILESS_MAIN(TestTaggedVarint)
#include "TestTaggedVarint.moc"
