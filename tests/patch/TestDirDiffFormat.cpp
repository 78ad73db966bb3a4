// The "HDIFF19" head reader, the directory-data list readers and the path builders, checked against
// literal bytes so the reader is held to the format and not only to the test writer.

#include "patch/core/streams.h"
#include "patch/dir/dir_diff_format.h"
#include "patch/dir/dir_patcher.h"
#include "support/StderrCapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

namespace
{
// The embedded diff of empty old and new data: magic, '&', empty type, NUL and eleven zero varints.
const QByteArray kEmptyCompressedDiff = QByteArray("HDIFF13&\0", 9) + QByteArray(11, '\0');

// An empty directory to an empty directory: both path lists hold only the root "".
QByteArray emptyDirDiff(quint8 isOldDir = 1, quint8 isNewDir = 1)
{
    QByteArray diff("HDIFF19&&\0", 10);
    const char head[19] = {char(isOldDir), char(isNewDir), 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0};
    diff += QByteArray(head, 19);
    diff += QByteArray(2, '\0'); // the two root texts
    diff += kEmptyCompressedDiff;
    return diff;
}

struct MemDiff
{
    QByteArray bytes;
    dpatch_TStreamInput stream;
    explicit MemDiff(const QByteArray& data) : bytes(data)
    {
        dpatch_memStreamInput_init(&stream, (const dpatch_byte*)bytes.constData(),
                                   (const dpatch_byte*)bytes.constData() + bytes.size());
    }
};

struct MemClip
{
    QByteArray bytes;
    dpatch_TStreamInput stream;
    TStreamCacheClip clip;
    dpatch_byte cache[dpatch_kStreamCacheSize];
    explicit MemClip(const QByteArray& data) : bytes(data)
    {
        dpatch_memStreamInput_init(&stream, (const dpatch_byte*)bytes.constData(),
                                   (const dpatch_byte*)bytes.constData() + bytes.size());
        _TStreamCacheClip_init(&clip, &stream, 0, stream.streamSize, cache, sizeof(cache));
    }
};

QByteArray varint(quint64 value)
{
    QByteArray out;
    QList<char> groups;
    while (value >> 7) {
        groups.prepend(char(0x80 | (value & 0x7f)));
        value >>= 7;
    }
    if (!groups.isEmpty())
        groups.last() = char(groups.last() & 0x7f);
    out += char(value | (groups.isEmpty() ? 0 : 0x80));
    for (char group : groups)
        out += group;
    return out;
}
} // namespace

class TestDirDiffFormat : public QObject
{
    Q_OBJECT
private slots:
    void headOfLiteralDiff();
    void readDirDiffInfoTellsOtherData_data();
    void readDirDiffInfoTellsOtherData();
    void readDirDiffInfoInAWindow();
    void headErrors_data();
    void headErrors();
    void everyTruncatedHeadIsRefused();
    void prefixMode();
    void incrementLists_data();
    void incrementLists();
    void samePairLists_data();
    void samePairLists();
    void clipCStrs_data();
    void clipCStrs();
    void safeRelativePaths_data();
    void safeRelativePaths();
    void roots_data();
    void roots();
    void pathBufferLimits();
};

void TestDirDiffFormat::headOfLiteralDiff()
{
    MemDiff diff(emptyDirDiff());
    TDirDiffInfo info;
    TDirDiffHead head;
    memset(&info, 0xAB, sizeof(info));
    memset(&head, 0xAB, sizeof(head));
    QVERIFY(_read_dirdiff_head(&info, &head, &diff.stream, nullptr));
    QCOMPARE(info.isDirDiff, 1);
    QCOMPARE(info.isOldPathDir, 1);
    QCOMPARE(info.isNewPathDir, 1);
    QCOMPARE(info.isDirDataCompressed, 0);
    QCOMPARE(QByteArray(info.checksumType), QByteArray());
    QCOMPARE(info.checksumByteSize, 0u);
    QCOMPARE(info.checksumOffset, 29u);
    QCOMPARE(info.externDataOffset, 31u);
    QCOMPARE(info.externDataSize, 0u);
    QCOMPARE(info.cdiffInfo.oldDataSize, 0u);
    QCOMPARE(info.cdiffInfo.newDataSize, 0u);
    QCOMPARE(QByteArray(info.cdiffInfo.compressType), QByteArray());
    QCOMPARE(head.oldPathCount, 1u);
    QCOMPARE(head.oldPathSumSize, 1u);
    QCOMPARE(head.newPathCount, 1u);
    QCOMPARE(head.newPathSumSize, 1u);
    QCOMPARE(head.typesEndPos, 10u);
    QCOMPARE(head.headDataSizesPos, 26u);
    QCOMPARE(head.headDataOffset, 29u); // no checksums: the directory data follows the sizes
    QCOMPARE(head.headDataSize, 2u);
    QCOMPARE(head.headDataCompressedSize, 0u);
    QCOMPARE(head.privateExternDataOffset, 31u);
    QCOMPARE(head.cdiffDataOffset, 31u);
    QCOMPARE(head.cdiffDataSize, 20u);

    // the directory diff's compress type stands in for an embedded diff that names none
    QByteArray named = emptyDirDiff();
    named.replace(0, 9, "HDIFF19&zstd&");
    MemDiff namedDiff(named);
    QVERIFY(_read_dirdiff_head(&info, &head, &namedDiff.stream, nullptr));
    QCOMPARE(QByteArray(info.cdiffInfo.compressType), QByteArray("zstd"));
}

void TestDirDiffFormat::readDirDiffInfoTellsOtherData_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("no '&' within 260 bytes") << QByteArray(300, 'x');
    QTest::newRow("compressed diff") << kEmptyCompressedDiff;
    QTest::newRow("type with a suffix") << QByteArray("HDIFF19x&&\0", 11) + QByteArray(40, '\0');
    QTest::newRow("type too short") << QByteArray("HDIFF1&&\0", 9) + QByteArray(40, '\0');
    QTest::newRow("type without its '&'") << QByteArray("HDIFF19");
}

void TestDirDiffFormat::readDirDiffInfoTellsOtherData()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.path() + "/file";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    TDirDiffInfo info;
    memset(&info, 0, sizeof(info));
    info.isDirDiff = 1;
    QVERIFY(readDirDiffInfo(path.toUtf8().constData(), &info, 0, 0));
    QCOMPARE(info.isDirDiff, 0);
    QVERIFY(!readDirDiffInfo((dir.path() + "/missing").toUtf8().constData(), &info, 0, 0));
}

void TestDirDiffFormat::readDirDiffInfoInAWindow()
{
    const QByteArray diff = emptyDirDiff();
    QTemporaryDir dir;
    const QString path = dir.path() + "/archive";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("lead" + diff + "tail");
    file.close();
    TDirDiffInfo info;
    QVERIFY(readDirDiffInfo(path.toUtf8().constData(), &info, 4, dpatch_StreamPos_t(diff.size())));
    QCOMPARE(info.isDirDiff, 1);
    QCOMPARE(info.checksumOffset, 29u); // positions count from the window's start
    StderrCapture capture;
    QVERIFY(!readDirDiffInfo(path.toUtf8().constData(), &info, 4, dpatch_StreamPos_t(diff.size() + 5)));
    QVERIFY(capture.take().split('\n').contains("check diffData.base.streamSize>=diffDataSize error!"));
    QVERIFY(!readDirDiffInfo(path.toUtf8().constData(), &info, 1000, 1));
    QVERIFY(capture.take().split('\n').contains(
        "check dpatch_TFileStreamInput_setOffset(&diffData,diffDataOffert) error!"));
}

void TestDirDiffFormat::headErrors_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("line");
    const QByteArray base = emptyDirDiff();
    auto withHeadValue = [&base](int field, quint64 value) {
        // fields 4..22 start at byte 10, one byte each in the literal diff
        QByteArray out = base;
        out.replace(10 + field - 4, 1, varint(value));
        return out;
    };
    QTest::newRow("old side flag 2") << withHeadValue(4, 2) << QByteArray("check savedValue<=1 error!");
    QTest::newRow("new side flag 2") << withHeadValue(5, 2) << QByteArray("check savedValue<=1 error!");
    QTest::newRow("old reference size off by one")
        << withHeadValue(11, 1) << QByteArray("check savedOldRefSize==out_info->cdiffInfo.oldDataSize error!");
    QTest::newRow("new reference size off by one")
        << withHeadValue(13, 1) << QByteArray("check savedNewRefSize==out_info->cdiffInfo.newDataSize error!");
    QTest::newRow("checksum size that overflows when multiplied")
        << withHeadValue(22, quint64(1) << 62)
        << QByteArray("check out_info->checksumByteSize<=kMaxChecksumByteSize error!");
    QTest::newRow("checksum block longer than the diff")
        << withHeadValue(22, 1000)
        << QByteArray("check _TStreamCacheClip_skipData(headClip,out_info->checksumByteSize*4) error!");
    QTest::newRow("section sizes that wrap")
        << withHeadValue(19, ~quint64(0))
        << QByteArray("check addNoWrap(externDataOffset,out_info->externDataSize,&cdiffDataOffset) error!");
    QTest::newRow("sections past the end")
        << withHeadValue(19, 1000) << QByteArray("check out_head->cdiffDataOffset<=dirDiffFile->streamSize error!");
    QTest::newRow("embedded diff unreadable")
        << withHeadValue(19, 1)
        << QByteArray("check getCompressedDiffInfo(&out_info->cdiffInfo,&cdiffStream.base) error!");
    QByteArray mismatch = base;
    mismatch.replace(0, 9, "HDIFF19&lzma&");
    mismatch.replace(mismatch.indexOf("HDIFF13&"), 8, "HDIFF13&zstd");
    QTest::newRow("compress types differ")
        << mismatch << QByteArray("check 0==strcmp(savedCompressType,out_info->cdiffInfo.compressType) error!");
    QByteArray longType = base;
    longType.replace(0, 9, "HDIFF19&" + QByteArray(260, 'z') + '&');
    QTest::newRow("compress type of 260 bytes")
        << longType << QByteArray("check _TStreamCacheClip_readType_end(headClip,'&',savedCompressType) error!");
    QByteArray longChecksumType = base;
    longChecksumType.replace(0, 10, "HDIFF19&&" + QByteArray(260, 'c') + '\0');
    QTest::newRow("checksum type of 260 bytes")
        << longChecksumType
        << QByteArray("check _TStreamCacheClip_readType_end(headClip,'\\0',out_info->checksumType) error!");
}

void TestDirDiffFormat::headErrors()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, line);
    MemDiff diff(bytes);
    TDirDiffInfo info;
    TDirDiffHead head;
    StderrCapture capture;
    QVERIFY(!_read_dirdiff_head(&info, &head, &diff.stream, nullptr));
    const QByteArray err = capture.take();
    QVERIFY2(err.split('\n').contains(line), err.constData());
    QCOMPARE(info.isDirDiff, 1);
}

void TestDirDiffFormat::everyTruncatedHeadIsRefused()
{
    const QByteArray full = emptyDirDiff();
    StderrCapture capture;
    for (qsizetype size = 0; size < full.size(); ++size) {
        MemDiff diff(full.left(size));
        TDirDiffInfo info;
        TDirDiffHead head;
        const BOOL result = _read_dirdiff_head(&info, &head, &diff.stream, nullptr);
        QVERIFY2(!result || !info.isDirDiff, qPrintable(QString::number(size)));
    }
    QByteArray type259 = full;
    type259.replace(0, 9, "HDIFF19&" + QByteArray(259, 'z') + '&');
    MemDiff diff(type259);
    TDirDiffInfo info;
    TDirDiffHead head;
    QVERIFY(_read_dirdiff_head(&info, &head, &diff.stream, nullptr));
    QCOMPARE(qstrlen(info.cdiffInfo.compressType), 259u); // the embedded diff names none: the directory diff's holds
}

void TestDirDiffFormat::prefixMode()
{
    QByteArray withChecksums = emptyDirDiff();
    withChecksums[10 + 22 - 4] = 4; // four checksums of 4 bytes
    withChecksums.insert(29, QByteArray(16, 'c'));
    TDirDiffInfo info;
    TDirDiffHead head;
    BOOL isAppendContinue = 0;
    {
        MemDiff prefix(withChecksums.left(29 + 16));
        QVERIFY(_read_dirdiff_head(&info, &head, &prefix.stream, &isAppendContinue));
        QCOMPARE(isAppendContinue, 1);
    }
    {
        MemDiff prefix(withChecksums.left(29 + 17));
        QVERIFY(_read_dirdiff_head(&info, &head, &prefix.stream, &isAppendContinue));
        QCOMPARE(isAppendContinue, 0);
        QCOMPARE(head.headDataOffset, 29u + 16u);
    }
    {
        MemDiff prefix(QByteArray("HDIF"));
        QVERIFY(_read_dirdiff_head(&info, &head, &prefix.stream, &isAppendContinue));
        QCOMPARE(info.isDirDiff, 0);
        QCOMPARE(isAppendContinue, 1);
    }
}

void TestDirDiffFormat::incrementLists_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("endValue");
    QTest::addColumn<QList<quint64>>("values");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("all increments 0") << QByteArray("\0\0\0", 3) << 3 << 3 << QList<quint64>{0, 1, 2} << QByteArray();
    QTest::newRow("first value is its increment")
        << QByteArray("\x05\x00\x02", 3) << 3 << 10 << QList<quint64>{5, 6, 9} << QByteArray();
    QTest::newRow("last value equal to the count")
        << QByteArray("\0\0\0", 3) << 3 << 2 << QList<quint64>() << QByteArray("check backValue<check_endValue error!");
    QTest::newRow("increment that wraps into range")
        << QByteArray("\x05") + varint(~quint64(0) - 2) << 2 << 10 << QList<quint64>()
        << QByteArray("check backValue>=nextValue error!");
    QTest::newRow("list ends early") << QByteArray("\0", 1) << 2 << 10 << QList<quint64>()
                                     << QByteArray(
                                            "check _TStreamCacheClip_unpackUIntWithTag(sclip,&incValue,0) error!");
}

void TestDirDiffFormat::incrementLists()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, count);
    QFETCH(int, endValue);
    QFETCH(QList<quint64>, values);
    QFETCH(QByteArray, line);
    MemClip clip(bytes);
    std::vector<size_t> list(size_t(count), 0);
    StderrCapture capture;
    const BOOL result = readIncListTo(&clip.clip, list.data(), size_t(count), size_t(endValue));
    const QByteArray err = capture.take();
    if (line.isEmpty()) {
        QVERIFY2(result, err.constData());
        QCOMPARE(QList<quint64>(list.begin(), list.end()), values);
    } else {
        QVERIFY(!result);
        QVERIFY2(err.split('\n').contains(line), err.constData());
    }
}

void TestDirDiffFormat::samePairLists_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<quint64>>("oldIndices");
    QTest::addColumn<QByteArray>("line");
    // old increments +2, -0, -3 from the start give old indices 2, 3, 1
    QTest::newRow("rising and falling old indices")
        << QByteArray("\x00\x02\x00\x80\x00\x83", 6) << QList<quint64>{2, 3, 1} << QByteArray();
    QTest::newRow("old index below zero") << QByteArray("\x00\x81\x00\x80\x00\x80", 6) << QList<quint64>()
                                          << QByteArray("check backOldValue<check_endOldValue error!");
    QByteArray wraps("\x00", 1);
    {
        // tag 1 (minus) with the value 2^64 - 3: subtracting it from 0 wraps round to 3
        QByteArray tagged;
        quint64 v = ~quint64(0) - 2;
        QList<char> groups;
        while (v >> 6) {
            groups.prepend(char(0x80 | (v & 0x7f)));
            v >>= 7;
        }
        groups.last() = char(groups.last() & 0x7f);
        tagged += char(0x80 | 0x40 | v);
        for (char g : groups)
            tagged += g;
        wraps += tagged;
        wraps += QByteArray("\x00\x80\x00\x80", 4);
    }
    QTest::newRow("old decrement that wraps into range")
        << wraps << QList<quint64>() << QByteArray("check incOldValue<=baseOldValue error!");
    QTest::newRow("no byte for the sign")
        << QByteArray("\x00", 1) << QList<quint64>() << QByteArray("check psign!=0 error!");
    QTest::newRow("new index past the count")
        << QByteArray("\x04\x00", 2) << QList<quint64>() << QByteArray("check backNewValue<check_endNewValue error!");
}

void TestDirDiffFormat::samePairLists()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<quint64>, oldIndices);
    QFETCH(QByteArray, line);
    MemClip clip(bytes);
    dpatch_TSameFilePair pairs[3];
    StderrCapture capture;
    const BOOL result = readSamePairListTo(&clip.clip, pairs, 3, 4, 5);
    const QByteArray err = capture.take();
    if (line.isEmpty()) {
        QVERIFY2(result, err.constData());
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(pairs[i].newIndex, quint64(i));
            QCOMPARE(pairs[i].oldIndex, oldIndices[i]);
        }
    } else {
        QVERIFY(!result);
        QVERIFY2(err.split('\n').contains(line), err.constData());
    }
}

void TestDirDiffFormat::clipCStrs_data()
{
    QTest::addColumn<QByteArray>("texts");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("ok");
    QTest::newRow("two texts") << QByteArray("a\0bc\0", 5) << 2 << true;
    QTest::newRow("empty texts") << QByteArray("\0\0", 2) << 2 << true;
    QTest::newRow("empty range, no texts") << QByteArray() << 0 << true;
    QTest::newRow("empty range, one text") << QByteArray() << 1 << false;
    QTest::newRow("last byte not NUL") << QByteArray("a\0bc", 4) << 2 << false;
    QTest::newRow("one text more than counted") << QByteArray("a\0b\0c\0", 6) << 2 << false;
    QTest::newRow("one text fewer than counted") << QByteArray("a\0b\0", 4) << 3 << false;
}

void TestDirDiffFormat::clipCStrs()
{
    QFETCH(QByteArray, texts);
    QFETCH(int, count);
    QFETCH(bool, ok);
    std::vector<const char*> list(size_t(count) + 1);
    QCOMPARE(bool(clipCStrsTo(texts.constData(), texts.constData() + texts.size(), list.data(), size_t(count))), ok);
    if (ok && count == 2 && texts.size() == 5) {
        QCOMPARE(QByteArray(list[0]), QByteArray("a"));
        QCOMPARE(QByteArray(list[1]), QByteArray("bc"));
    }
}

void TestDirDiffFormat::safeRelativePaths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("root") << QByteArray("") << true;
    QTest::newRow("file") << QByteArray("a/b.txt") << true;
    QTest::newRow("directory") << QByteArray("a/b/") << true;
    QTest::newRow("dots inside names") << QByteArray("..a/b..c/.d") << true;
    QTest::newRow("absolute") << QByteArray("/etc/passwd") << false;
    QTest::newRow("slash alone") << QByteArray("/") << false;
    QTest::newRow("parent") << QByteArray("..") << false;
    QTest::newRow("parent directory") << QByteArray("../") << false;
    QTest::newRow("parent inside") << QByteArray("a/../../b") << false;
    QTest::newRow("current") << QByteArray("./a") << false;
    QTest::newRow("current at the end") << QByteArray("a/.") << false;
    QTest::newRow("empty component") << QByteArray("a//b") << false;
    QTest::newRow("two trailing slashes") << QByteArray("a//") << false;
}

void TestDirDiffFormat::safeRelativePaths()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, safe);
    QCOMPARE(bool(dpatch_isSafeRelativePath(path.constData())), safe);
}

void TestDirDiffFormat::roots_data()
{
    QTest::addColumn<QByteArray>("root");
    QTest::addColumn<bool>("isDir");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("a/b as a directory") << QByteArray("a/b") << true << QByteArray("a/b/");
    QTest::newRow("a/b as a file") << QByteArray("a/b") << false << QByteArray("a/b");
    QTest::newRow("a/b/ as a directory") << QByteArray("a/b/") << true << QByteArray("a/b/");
    QTest::newRow("a/b/ as a file") << QByteArray("a/b/") << false << QByteArray("a/b");
    QTest::newRow("empty as a directory") << QByteArray("") << true << QByteArray("");
    QTest::newRow("empty as a file") << QByteArray("") << false << QByteArray("");
}

void TestDirDiffFormat::roots()
{
    QFETCH(QByteArray, root);
    QFETCH(bool, isDir);
    QFETCH(QByteArray, expected);
    MemDiff diff(emptyDirDiff(isDir ? 1 : 0, isDir ? 1 : 0));
    TDirPatcher patcher;
    memset(&patcher, 0, sizeof(patcher));
    const TDirDiffInfo* info = nullptr;
    QVERIFY(TDirPatcher_open(&patcher, &diff.stream, &info));
    QVERIFY(TDirPatcher_loadDirData(&patcher, nullptr, root.constData(), root.constData()));
    QCOMPARE(QByteArray(TDirPatcher_getOldPathByIndex(&patcher, 0)), expected);
    QCOMPARE(QByteArray(TNewDir_getNewPathRoot(&patcher._newDir)), expected);
    QVERIFY(TDirPatcher_close(&patcher));
}

void TestDirDiffFormat::pathBufferLimits()
{
    char buf[2048];
    const QByteArray dir2047 = QByteArray(2046, 'd') + '/';
    QVERIFY(setDirPath(buf, buf + sizeof(buf), dir2047.constData()) == buf + 2047);
    StderrCapture capture;
    QVERIFY(!setDirPath(buf, buf + sizeof(buf), QByteArray(2047, 'd').constData()));
    QVERIFY(
        capture.take().contains("check (strLen+(isNeedDirSeparator?1:0)+1)<=(size_t)(out_pathBufEnd-out_path) error!"));

    char* rootEnd = setDirPath(buf, buf + sizeof(buf), "root");
    QVERIFY(rootEnd == buf + 5);
    const QByteArray fits = QByteArray(2047 - 5, 'f');
    QVERIFY(setPath(rootEnd, buf + sizeof(buf), fits.constData()) == buf + 2047);
    QCOMPARE(qstrlen(buf), 2047u);
    QVERIFY(!setPath(rootEnd, buf + sizeof(buf), (fits + 'x').constData()));
    QVERIFY(capture.take().contains("check strLen+1<=(size_t)(out_pathBufEnd-out_path) error!"));
}

QTEST_GUILESS_MAIN(TestDirDiffFormat)
#include "TestDirDiffFormat.moc"
