// The reference stream: streams laid end to end with alignment gaps of zeros, read at any position.

#include "patch/core/streams.h"
#include "patch/dir/ref_stream.h"
#include "support/RandomBytes.h"
#include "support/StderrCapture.h"

#include <QRandomGenerator>
#include <QTest>
#include <vector>

namespace
{
// Memory streams over the given contents, plus a stream that fails every read for fault rows.
struct Streams
{
    QList<QByteArray> contents;
    std::vector<dpatch_TStreamInput> streams;
    std::vector<const dpatch_TStreamInput*> list;

    explicit Streams(const QList<QByteArray>& data, int failingIndex = -1)
        : contents(data), streams(size_t(data.size()))
    {
        for (qsizetype i = 0; i < contents.size(); ++i) {
            auto* begin = reinterpret_cast<const dpatch_byte*>(contents[i].constData());
            dpatch_memStreamInput_init(&streams[size_t(i)], begin, begin + contents[i].size());
            list.push_back(&streams[size_t(i)]);
        }
        if (failingIndex >= 0)
            streams[size_t(failingIndex)].read = failRead;
    }

    static BOOL failRead(const dpatch_TStreamInput*, dpatch_StreamPos_t, dpatch_byte*, dpatch_byte*) { return 0; }

    // What the joined stream must read as.
    QByteArray joined(quint64 alignSize) const
    {
        QByteArray result;
        for (const QByteArray& content : contents) {
            result += content;
            while (quint64(result.size()) % alignSize)
                result += '\0';
        }
        return result;
    }
};

bool readRef(const dpatch_TRefStream& ref, quint64 pos, qsizetype length, QByteArray* out)
{
    out->fill('?', length);
    auto* data = reinterpret_cast<dpatch_byte*>(out->data());
    return ref.stream->read(ref.stream, pos, data, data + length);
}
} // namespace

class TestRefStream : public QObject
{
    Q_OBJECT
private slots:
    void reads_data();
    void reads();
    void readsInAnyOrder_data();
    void readsInAnyOrder();
    void failingJoinedStream_data();
    void failingJoinedStream();
    void emptyReadTouchesNothing();
    void refusedOpens();
};

void TestRefStream::reads_data()
{
    QTest::addColumn<quint64>("align");
    QTest::addColumn<quint64>("pos");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray pastEnd = "check curRangeIndex<self->_rangeCount error!\n";
    QTest::newRow("across the empty range") << quint64(1) << quint64(3) << 4 << true << QByteArray("DExy");
    QTest::newRow("whole joined stream") << quint64(1) << quint64(0) << 8 << true << QByteArray("ABCDExyz");
    QTest::newRow("exactly the first range") << quint64(1) << quint64(0) << 5 << true << QByteArray("ABCDE");
    QTest::newRow("last byte") << quint64(1) << quint64(7) << 1 << true << QByteArray("z");
    QTest::newRow("alignment gaps read as zeros")
        << quint64(4) << quint64(4) << 8 << true << QByteArray("E\0\0\0xyz\0", 8);
    QTest::newRow("inside a gap only") << quint64(4) << quint64(5) << 3 << true << QByteArray(3, '\0');
    QTest::newRow("empty read at the end") << quint64(1) << quint64(8) << 0 << true << QByteArray();
    QTest::newRow("starts at the end") << quint64(1) << quint64(8) << 1 << false << pastEnd;
    QTest::newRow("runs past the end") << quint64(1) << quint64(6) << 3 << false << pastEnd;
    QTest::newRow("runs past the aligned end") << quint64(4) << quint64(10) << 3 << false << pastEnd;
    QTest::newRow("far past the end") << quint64(1) << (quint64(1) << 63) << 1 << false << pastEnd;
}

void TestRefStream::reads()
{
    QFETCH(quint64, align);
    QFETCH(quint64, pos);
    QFETCH(int, length);
    QFETCH(bool, ok);
    QFETCH(QByteArray, expected);
    Streams streams({"ABCDE", "", "xyz"});
    dpatch_TRefStream ref = {};
    QVERIFY(dpatch_TRefStream_open(&ref, streams.list.data(), 3, align));
    QCOMPARE(ref.stream->streamSize, align == 1 ? quint64(8) : quint64(12));
    QCOMPARE(ref._rangeEndList[0], align == 1 ? quint64(5) : quint64(8));
    QCOMPARE(ref._rangeEndList[1], align == 1 ? quint64(5) : quint64(8));
    StderrCapture capture;
    QByteArray out;
    QCOMPARE(bool(readRef(ref, pos, length, &out)), ok);
    if (ok) {
        QCOMPARE(out, expected);
        QCOMPARE(capture.take(), QByteArray());
    } else {
        QCOMPARE(capture.take(), expected);
    }
    dpatch_TRefStream_close(&ref);
    dpatch_TRefStream_close(&ref);
}

void TestRefStream::readsInAnyOrder_data()
{
    QTest::addColumn<quint64>("align");
    QTest::newRow("no alignment") << quint64(1);
    QTest::newRow("alignment 3") << quint64(3);
    QTest::newRow("alignment 64") << quint64(64);
}

void TestRefStream::readsInAnyOrder()
{
    // Forty streams, some empty: sequential pieces across the whole stream, then random jumps both ways.
    QFETCH(quint64, align);
    QRandomGenerator random(50);
    QList<QByteArray> contents;
    for (int i = 0; i < 40; ++i)
        contents << (i % 7 == 3 ? QByteArray() : randomBytes(random.bounded(1, 400), quint32(100 + i)));
    Streams streams(contents);
    const QByteArray joined = streams.joined(align);
    dpatch_TRefStream ref = {};
    QVERIFY(dpatch_TRefStream_open(&ref, streams.list.data(), quint64(streams.list.size()), align));
    QCOMPARE(ref.stream->streamSize, quint64(joined.size()));
    QByteArray out;
    for (qsizetype pos = 0; pos < joined.size(); pos += 37) {
        const qsizetype length = qMin<qsizetype>(37, joined.size() - pos);
        QVERIFY(readRef(ref, quint64(pos), length, &out));
        QCOMPARE(out, joined.mid(pos, length));
    }
    for (int i = 0; i < 2000; ++i) {
        const qsizetype length = 1 + random.bounded(i % 5 ? 50 : 2000);
        const qsizetype pos = random.bounded(joined.size() - qMin(length, joined.size()) + 1);
        QVERIFY(readRef(ref, quint64(pos), qMin(length, joined.size() - pos), &out));
        QCOMPARE(out, joined.mid(pos, out.size()));
    }
    dpatch_TRefStream_close(&ref);
}

void TestRefStream::failingJoinedStream_data()
{
    QTest::addColumn<quint64>("pos");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("lines");
    QTest::newRow("failing part ends the read")
        << quint64(2) << 5
        << QByteArray("check _TRefStream_read_do(self,readFromPos,out_data,out_data_end,curRangeIndex) error!\n");
    QTest::newRow("failing part ends its range")
        << quint64(5) << 5
        << QByteArray("check _TRefStream_read_do(self,readFromPos,out_data,out_data+leftLen,curRangeIndex) error!\n");
}

void TestRefStream::failingJoinedStream()
{
    QFETCH(quint64, pos);
    QFETCH(int, length);
    QFETCH(QByteArray, lines);
    Streams streams({"ABCD", "efgh", "IJKL"}, 1);
    dpatch_TRefStream ref = {};
    QVERIFY(dpatch_TRefStream_open(&ref, streams.list.data(), 3, 1));
    StderrCapture capture;
    QByteArray out;
    QVERIFY(!readRef(ref, pos, length, &out));
    QCOMPARE(capture.take(), lines);
    // The ranges around the failing stream still read.
    QVERIFY(readRef(ref, 0, 4, &out));
    QCOMPARE(out, QByteArray("ABCD"));
    QVERIFY(readRef(ref, 8, 4, &out));
    QCOMPARE(out, QByteArray("IJKL"));
    dpatch_TRefStream_close(&ref);
}

void TestRefStream::emptyReadTouchesNothing()
{
    struct Counted
    {
        dpatch_TStreamInput base;
        int* reads;
        static BOOL read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t, dpatch_byte* out, dpatch_byte* end)
        {
            ++*static_cast<const Counted*>(stream->streamOwner)->reads;
            memset(out, 'c', size_t(end - out));
            return 1;
        }
    };
    int reads = 0;
    Counted counted[3];
    const dpatch_TStreamInput* list[3];
    for (int i = 0; i < 3; ++i) {
        counted[i] = Counted{{&counted[i], 10, Counted::read}, &reads};
        list[i] = &counted[i].base;
    }
    dpatch_TRefStream ref = {};
    QVERIFY(dpatch_TRefStream_open(&ref, list, 3, 1));
    QByteArray out;
    QVERIFY(readRef(ref, 25, 2, &out));
    QCOMPARE(out, QByteArray("cc"));
    QCOMPARE(ref._curRangeIndex, quint64(2));
    reads = 0;
    QVERIFY(readRef(ref, 0, 0, &out));
    QVERIFY(readRef(ref, 1000, 0, &out));
    QCOMPARE(reads, 0);
    QCOMPARE(ref._curRangeIndex, quint64(2));
    dpatch_TRefStream_close(&ref);

    // Over no streams at all only empty reads succeed.
    dpatch_TRefStream empty = {};
    QVERIFY(dpatch_TRefStream_open(&empty, nullptr, 0, 1));
    QCOMPARE(empty.stream->streamSize, quint64(0));
    QVERIFY(readRef(empty, 0, 0, &out));
    StderrCapture capture;
    QVERIFY(!readRef(empty, 0, 1, &out));
    QCOMPARE(capture.take(), QByteArray("check curRangeIndex<self->_rangeCount error!\n"));
    dpatch_TRefStream_close(&empty);
}

void TestRefStream::refusedOpens()
{
    Streams streams({"abc"});
    StderrCapture capture;
    dpatch_TRefStream ref = {};
    QVERIFY(dpatch_TRefStream_open(&ref, streams.list.data(), 1, 1));
    QVERIFY(!dpatch_TRefStream_open(&ref, streams.list.data(), 1, 1));
    QCOMPARE(capture.take(), QByteArray("check self->stream==0 error!\n"));
    dpatch_TRefStream_close(&ref);

    dpatch_TRefStream zeroAlign = {};
    QVERIFY(!dpatch_TRefStream_open(&zeroAlign, streams.list.data(), 1, 0));
    QCOMPARE(capture.take(), QByteArray("check kAlignSize>=1 error!\n"));
    QVERIFY(zeroAlign.stream == nullptr);

    // Sizes whose sum or aligned size passes 2^64 leave nothing open.
    dpatch_TStreamInput huge[2] = {{nullptr, quint64(1) << 63, nullptr}, {nullptr, quint64(1) << 63, nullptr}};
    const dpatch_TStreamInput* hugeList[2] = {&huge[0], &huge[1]};
    dpatch_TRefStream wraps = {};
    QVERIFY(!dpatch_TRefStream_open(&wraps, hugeList, 2, 1));
    QCOMPARE(capture.take(), QByteArray("check size+gap<=kMaxStreamPos-rangeEnd error!\n"
                                        "check _createRange(self,refList,refCount,kAlignSize) error!\n"));
    QVERIFY(wraps.stream == nullptr && wraps._buf == nullptr);
    huge[0].streamSize = ~quint64(0);
    QVERIFY(!dpatch_TRefStream_open(&wraps, hugeList, 1, 2));
    QCOMPARE(capture.take(), QByteArray("check gap<=kMaxStreamPos-size error!\n"
                                        "check _createRange(self,refList,refCount,kAlignSize) error!\n"));
    // A count whose table can't be allocated.
    QVERIFY(!dpatch_TRefStream_open(&wraps, hugeList, ~quint64(0), 1));
    QCOMPARE(capture.take(), QByteArray("check self->_buf!=0 error!\n"
                                        "check _createRange(self,refList,refCount,kAlignSize) error!\n"));
    QVERIFY(wraps.stream == nullptr);
}

QTEST_GUILESS_MAIN(TestRefStream)
#include "TestRefStream.moc"
