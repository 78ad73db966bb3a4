// The open-file limiter over real files: which file is closed when the limit is reached, that the limit holds
// as seen in /proc/self/fd (also under the reference stream, as the directory patcher uses it), and its failures.

#include "patch/dir/ref_stream.h"
#include "patch/dir/res_handle_limit.h"
#include "patch/os/file_services.h"
#include "support/OpenDescriptors.h"
#include "support/RandomBytes.h"
#include "support/StderrCapture.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

namespace
{
// N real files with resources that open them as file streams and log what they do.
struct FileResources
{
    QTemporaryDir dir;
    QList<QByteArray> contents;
    QList<QByteArray> paths;
    std::vector<dpatch_TResHandle> res;
    std::vector<dpatch_TFileStreamInput> files;
    std::vector<bool> failClose;
    std::vector<bool> openWithoutStream;
    QStringList events;

    FileResources(int count, quint32 seed, int maxSize = 64)
        : res(size_t(count)), files(size_t(count)), failClose(size_t(count)), openWithoutStream(size_t(count))
    {
        QRandomGenerator sizes(seed);
        for (int i = 0; i < count; ++i) {
            contents << randomBytes(1 + sizes.bounded(maxSize), seed + quint32(i) + 1);
            paths << QFile::encodeName(dir.filePath(QString("old%1").arg(i)));
            QFile file(QFile::decodeName(paths[i]));
            if (!file.open(QIODevice::WriteOnly) || file.write(contents[i]) != contents[i].size())
                qFatal("cannot write the test files");
            res[size_t(i)] = dpatch_TResHandle{this, quint64(contents[i].size()), openFile, closeFile};
        }
    }

    int indexOf(const dpatch_TResHandle* handle) const { return int(handle - res.data()); }

    static BOOL openFile(dpatch_TResHandle* handle, const dpatch_TStreamInput** out_pStream)
    {
        FileResources* self = static_cast<FileResources*>(handle->resOwner);
        const int i = self->indexOf(handle);
        self->events << QString("open %1").arg(i);
        if (self->openWithoutStream[size_t(i)])
            return 1;
        if (!dpatch_TFileStreamInput_open(&self->files[size_t(i)], self->paths[i].constData()))
            return 0;
        *out_pStream = &self->files[size_t(i)].base;
        return 1;
    }

    static BOOL closeFile(dpatch_TResHandle* handle, const dpatch_TStreamInput* stream)
    {
        FileResources* self = static_cast<FileResources*>(handle->resOwner);
        const int i = self->indexOf(handle);
        self->events << QString("close %1").arg(i);
        if (stream != &self->files[size_t(i)].base)
            return 0;
        const BOOL closed = dpatch_TFileStreamInput_close(&self->files[size_t(i)]);
        return closed && !self->failClose[size_t(i)];
    }
};

QList<int> openIndices(const dpatch_TResHandleLimit& limit)
{
    QList<int> result;
    for (quint64 i = 0; i < limit.streamCount; ++i) {
        if (limit._openStreamList[i])
            result << int(i);
    }
    return result;
}

bool readByte(dpatch_TResHandleLimit& limit, int index, quint64 pos, char* out)
{
    const dpatch_TStreamInput* stream = limit.streamList[index];
    auto* data = reinterpret_cast<dpatch_byte*>(out);
    return stream->read(stream, pos, data, data + 1);
}
} // namespace

class TestResHandleLimit : public QObject
{
    Q_OBJECT
private slots:
    void closesLeastRecentlyRead_data();
    void closesLeastRecentlyRead();
    void manyFilesUnderSmallLimit();
    void failedReads_data();
    void failedReads();
    void closeFileHandlesGoesOnAfterFailure();
    void openSizes();
};

void TestResHandleLimit::closesLeastRecentlyRead_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<int>>("reads");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QList<int>>("openAfter");
    QTest::newRow("the one read longer ago is closed")
        << 2 << QList<int>{0, 1, 0, 2} << QStringList{"open 0", "open 1", "close 1", "open 2"} << QList<int>{0, 2};
    QTest::newRow("limit one closes on every change")
        << 1 << QList<int>{0, 1, 0} << QStringList{"open 0", "close 0", "open 1", "close 1", "open 0"} << QList<int>{0};
    QTest::newRow("limit zero acts as one")
        << 0 << QList<int>{0, 1, 0} << QStringList{"open 0", "close 0", "open 1", "close 1", "open 0"} << QList<int>{0};
    QTest::newRow("open files are not reopened")
        << 3 << QList<int>{0, 1, 2, 2, 1, 0} << QStringList{"open 0", "open 1", "open 2"} << QList<int>{0, 1, 2};
    QTest::newRow("recent reads protect a file")
        << 2 << QList<int>{0, 1, 0, 0, 2, 1}
        << QStringList{"open 0", "open 1", "close 1", "open 2", "close 0", "open 1"} << QList<int>{1, 2};
}

void TestResHandleLimit::closesLeastRecentlyRead()
{
    QFETCH(int, limit);
    QFETCH(QList<int>, reads);
    QFETCH(QStringList, events);
    QFETCH(QList<int>, openAfter);
    FileResources files(3, 10);
    dpatch_TResHandleLimit limiter = {};
    QVERIFY(dpatch_TResHandleLimit_open(&limiter, quint64(limit), files.res.data(), 3));
    QCOMPARE(limiter.streamCount, quint64(3));
    QVERIFY(files.events.isEmpty()); // opening the limiter opens nothing
    for (int index : reads) {
        char byte = 0;
        QVERIFY(readByte(limiter, index, 0, &byte));
        QCOMPARE(byte, files.contents[index][0]);
    }
    QCOMPARE(files.events, events);
    QCOMPARE(openIndices(limiter), openAfter);
    QCOMPARE(limiter._openCount, quint64(openAfter.size()));
    QVERIFY(dpatch_TResHandleLimit_close(&limiter));
    QVERIFY(limiter.streamList == nullptr);
    QCOMPARE(limiter.streamCount, quint64(0));
    QVERIFY(dpatch_TResHandleLimit_close(&limiter));
}

void TestResHandleLimit::manyFilesUnderSmallLimit()
{
    // 60 old files joined into one stream as the directory patcher does, read at random places with reads that
    // span several files, under a limit of 8 open files.
    const int descriptors = openDescriptorCount();
    constexpr int fileCount = 60;
    constexpr int limit = 8;
    FileResources files(fileCount, 20, 3000);
    QByteArray joined;
    for (const QByteArray& content : files.contents)
        joined += content;
    dpatch_TResHandleLimit limiter = {};
    QVERIFY(dpatch_TResHandleLimit_open(&limiter, limit, files.res.data(), fileCount));
    dpatch_TRefStream ref = {};
    QVERIFY(dpatch_TRefStream_open(&ref, limiter.streamList, limiter.streamCount, 1));
    QCOMPARE(ref.stream->streamSize, quint64(joined.size()));

    QRandomGenerator random(21);
    int mostOpen = 0;
    for (int i = 0; i < 3000; ++i) {
        const qsizetype length = 1 + random.bounded(i % 10 == 0 ? 20000 : 300);
        const qsizetype pos = random.bounded(joined.size() - length + 1);
        QByteArray out(length, '\0');
        auto* data = reinterpret_cast<dpatch_byte*>(out.data());
        QVERIFY(ref.stream->read(ref.stream, quint64(pos), data, data + length));
        QVERIFY(out == joined.mid(pos, length));
        mostOpen = qMax(mostOpen, openDescriptorCount() - descriptors);
        QVERIFY(limiter._openCount <= quint64(limit));
    }
    QCOMPARE(mostOpen, limit);

    QVERIFY(dpatch_TResHandleLimit_closeFileHandles(&limiter));
    QCOMPARE(openDescriptorCount(), descriptors);
    QCOMPARE(limiter._openCount, quint64(0));
    // The proxies stay usable and reopen on demand.
    QByteArray out(joined.size(), '\0');
    auto* data = reinterpret_cast<dpatch_byte*>(out.data());
    QVERIFY(ref.stream->read(ref.stream, 0, data, data + out.size()));
    QVERIFY(out == joined);
    QCOMPARE(openDescriptorCount(), descriptors + limit);

    dpatch_TRefStream_close(&ref);
    QVERIFY(dpatch_TResHandleLimit_close(&limiter));
    QCOMPARE(openDescriptorCount(), descriptors);
}

void TestResHandleLimit::failedReads_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("lines");
    const QByteArray openHandleLine = "check _TResHandleLimit_openHandle(self,index) error!\n";
    const QByteArray closeOneLine = "check _TResHandleLimit_closeOneHandle(self) error!\n";
    QTest::newRow("file gone before its first read") << "removed"
                                                     << "check res->open(res,pCur) error!\n" + openHandleLine;
    QTest::newRow("open succeeds without a stream") << "no stream"
                                                    << "check (*pCur)!=0 error!\n" + openHandleLine;
    QTest::newRow("file changed size since listed")
        << "resized"
        << "check (*pCur)->streamSize==res->resStreamSize error!\n" + openHandleLine;
    QTest::newRow("evicted file fails to close")
        << "close fails"
        << "check res->close(res,cur) error!\n" + closeOneLine + openHandleLine;
    QTest::newRow("limit reached with nothing open") << "count off"
                                                     << "check best_i<count error!\n" + closeOneLine + openHandleLine;
}

void TestResHandleLimit::failedReads()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, lines);
    StderrCapture capture;
    const int descriptors = openDescriptorCount();
    FileResources files(2, 30);
    dpatch_TResHandleLimit limiter = {};
    QVERIFY(dpatch_TResHandleLimit_open(&limiter, 1, files.res.data(), 2));
    char byte = 0;
    QVERIFY(readByte(limiter, 0, 0, &byte));
    if (fault == "removed")
        QVERIFY(QFile::remove(QFile::decodeName(files.paths[1])));
    else if (fault == "no stream")
        files.openWithoutStream[1] = true;
    else if (fault == "resized")
        files.res[1].resStreamSize += 1;
    else if (fault == "close fails")
        files.failClose[0] = true;
    else if (fault == "count off") {
        QVERIFY(dpatch_TResHandleLimit_closeFileHandles(&limiter));
        limiter._openCount = limiter._maxOpenCount;
    }
    if (fault == "resized") {
        // The proxy still claims the listed size; recreate the limiter so it does.
        QVERIFY(dpatch_TResHandleLimit_close(&limiter));
        limiter = {};
        QVERIFY(dpatch_TResHandleLimit_open(&limiter, 1, files.res.data(), 2));
    }

    QCOMPARE(capture.take(), QByteArray());
    QVERIFY(!readByte(limiter, 1, 0, &byte));
    QCOMPARE(capture.take(), lines);
    QVERIFY(limiter._openStreamList[1] == nullptr);
    if (fault != "count off")
        QCOMPARE(limiter._openCount, quint64(openIndices(limiter).size()));
    dpatch_TResHandleLimit_close(&limiter);
    QCOMPARE(openDescriptorCount(), descriptors);
}

void TestResHandleLimit::closeFileHandlesGoesOnAfterFailure()
{
    StderrCapture capture;
    const int descriptors = openDescriptorCount();
    FileResources files(3, 40);
    dpatch_TResHandleLimit limiter = {};
    QVERIFY(dpatch_TResHandleLimit_open(&limiter, 3, files.res.data(), 3));
    char byte = 0;
    for (int i = 0; i < 3; ++i)
        QVERIFY(readByte(limiter, i, 0, &byte));
    files.failClose[1] = true;
    files.events.clear();
    QVERIFY(!dpatch_TResHandleLimit_closeFileHandles(&limiter));
    QCOMPARE(files.events, (QStringList{"close 0", "close 1", "close 2"}));
    QCOMPARE(limiter._openCount, quint64(0));
    QCOMPARE(openDescriptorCount(), descriptors);
    QVERIFY(readByte(limiter, 2, 0, &byte));
    QCOMPARE(byte, files.contents[2][0]);
    files.failClose[1] = false;
    QVERIFY(dpatch_TResHandleLimit_close(&limiter));
    QCOMPARE(openDescriptorCount(), descriptors);
    QCOMPARE(capture.take(), QByteArray()); // closes report only through their result
}

void TestResHandleLimit::openSizes()
{
    StderrCapture capture;
    dpatch_TResHandleLimit none = {};
    QVERIFY(dpatch_TResHandleLimit_open(&none, 4, nullptr, 0));
    QCOMPARE(none.streamCount, quint64(0));
    QVERIFY(dpatch_TResHandleLimit_closeFileHandles(&none));
    QVERIFY(dpatch_TResHandleLimit_close(&none));

    // A count whose memory size would wrap around must fail, not allocate a small block.
    dpatch_TResHandle one = {};
    dpatch_TResHandleLimit huge = {};
    QVERIFY(!dpatch_TResHandleLimit_open(&huge, 4, &one, quint64(1) << 59));
    QVERIFY(!dpatch_TResHandleLimit_open(&huge, 4, &one, ~quint64(0)));
    QVERIFY(huge.streamList == nullptr);
    QCOMPARE(capture.take(), QByteArray());
}

QTEST_GUILESS_MAIN(TestResHandleLimit)
#include "TestResHandleLimit.moc"
