// File streams and path services on real files in a temporary directory, including full disks.

#include "patch/os/file_services.h"
#include "support/Files.h"
#include "support/OpenDescriptors.h"
#include "support/RandomBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
int modeOf(const QString& path)
{
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

dpatch_byte* bytes(QByteArray& data)
{
    return reinterpret_cast<dpatch_byte*>(data.data());
}

const dpatch_byte* bytes(const QByteArray& data)
{
    return reinterpret_cast<const dpatch_byte*>(data.constData());
}

BOOL writeAt(dpatch_TFileStreamOutput& out, dpatch_StreamPos_t pos, const QByteArray& data)
{
    return out.base.write(&out.base, pos, bytes(data), bytes(data) + data.size());
}
} // namespace

class TestFileServices : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void inputReadsRanges_data();
    void inputReadsRanges();
    void inputWindow();
    void inputReadsLargeAndBackwards();
    void inputOpenAndClose();
    void outputWritesOnlySequentially();
    void outputRefusesWritesPastDeclaredSize();
    void outputReadBackThenWriteFails();
    void outputOpenExistingContinuesAtEnd();
    void fullDeviceFailsWriteOrClose();
    void fullFileSystemFailsWrite();
    void pathStat_data();
    void pathStat();
    void makeDir_data();
    void makeDir();
    void longPathsRefused();
    void trailingSlashes_data();
    void trailingSlashes();
    void executeBits();
    void tempPathName();
    void renameAndRemove();
    void plainStdioHelpers();

private:
    QString path(const QString& name) const { return dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> dir;
};

void TestFileServices::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    umask(022);
}

void TestFileServices::inputReadsRanges_data()
{
    QTest::addColumn<quint64>("pos");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("ok");
    QTest::newRow("whole file") << quint64(0) << 100 << true;
    QTest::newRow("ends exactly at the end") << quint64(90) << 10 << true;
    QTest::newRow("one byte past the end") << quint64(91) << 10 << false;
    QTest::newRow("longer than the file") << quint64(0) << 101 << false;
    QTest::newRow("start past the end") << quint64(101) << 1 << false;
    QTest::newRow("position wraps when added") << ~quint64(0) - 3 << 8 << false;
    QTest::newRow("empty range past the end touches nothing") << quint64(5000) << 0 << true;
}

void TestFileServices::inputReadsRanges()
{
    QFETCH(quint64, pos);
    QFETCH(int, length);
    QFETCH(bool, ok);
    const QByteArray data = randomBytes(100, 1);
    writeFile(path("in"), data);
    dpatch_TFileStreamInput in = {};
    QVERIFY(dpatch_TFileStreamInput_open(&in, QFile::encodeName(path("in")).constData()));
    QCOMPARE(in.base.streamSize, quint64(100));
    QByteArray out(length, '\0');
    QCOMPARE(bool(in.base.read(&in.base, pos, bytes(out), bytes(out) + length)), ok);
    QCOMPARE(bool(in.fileError), !ok);
    if (ok) {
        QCOMPARE(out, data.mid(qsizetype(pos), length));
        QCOMPARE(in.filePos, length ? pos + quint64(length) : 0);
    } else {
        QCOMPARE(in.filePos, dpatch_kUnknownFilePos);
        // The next read seeks again and still gets the right bytes.
        QByteArray again(5, '\0');
        QVERIFY(in.base.read(&in.base, 10, bytes(again), bytes(again) + 5));
        QCOMPARE(again, data.mid(10, 5));
    }
    QVERIFY(dpatch_TFileStreamInput_close(&in));
}

void TestFileServices::inputWindow()
{
    const QByteArray data = randomBytes(64, 2);
    writeFile(path("in"), data);
    dpatch_TFileStreamInput in = {};
    QVERIFY(dpatch_TFileStreamInput_open(&in, QFile::encodeName(path("in")).constData()));
    QVERIFY(!dpatch_TFileStreamInput_setOffset(&in, 65));
    QCOMPARE(in.base.streamSize, quint64(64));
    QCOMPARE(in.windowStart, quint64(0));
    QVERIFY(dpatch_TFileStreamInput_setOffset(&in, 10));
    QVERIFY(dpatch_TFileStreamInput_setOffset(&in, 6));
    QCOMPARE(in.base.streamSize, quint64(48));
    QByteArray out(48, '\0');
    QVERIFY(in.base.read(&in.base, 0, bytes(out), bytes(out) + 48));
    QCOMPARE(out, data.mid(16));
    QVERIFY(!in.base.read(&in.base, 1, bytes(out), bytes(out) + 48));
    QVERIFY(dpatch_TFileStreamInput_setOffset(&in, 48));
    QCOMPARE(in.base.streamSize, quint64(0));
    QVERIFY(dpatch_TFileStreamInput_close(&in));
}

void TestFileServices::inputReadsLargeAndBackwards()
{
    // More than one 1 MiB piece per call, then jumps backwards and forwards.
    const QByteArray data = randomBytes(3 * 1024 * 1024 + 17, 3);
    writeFile(path("big"), data);
    dpatch_TFileStreamInput in = {};
    QVERIFY(dpatch_TFileStreamInput_open(&in, QFile::encodeName(path("big")).constData()));
    QByteArray out(data.size(), '\0');
    QVERIFY(in.base.read(&in.base, 0, bytes(out), bytes(out) + out.size()));
    QCOMPARE(out, data);
    const qsizetype positions[] = {2000000, 5, 3144000, 0, 1048576};
    for (qsizetype pos : positions) {
        QByteArray part(1000, '\0');
        QVERIFY(in.base.read(&in.base, quint64(pos), bytes(part), bytes(part) + part.size()));
        QCOMPARE(part, data.mid(pos, 1000));
    }
    QVERIFY(dpatch_TFileStreamInput_close(&in));
}

void TestFileServices::inputOpenAndClose()
{
    const int descriptors = openDescriptorCount();
    dpatch_TFileStreamInput never = {};
    QVERIFY(dpatch_TFileStreamInput_close(&never));

    dpatch_TFileStreamInput missing = {};
    QVERIFY(!dpatch_TFileStreamInput_open(&missing, QFile::encodeName(path("missing")).constData()));
    QVERIFY(missing.fileHandle == nullptr);

    writeFile(path("a"), "aaaa");
    writeFile(path("b"), "bb");
    dpatch_TFileStreamInput in = {};
    QVERIFY(dpatch_TFileStreamInput_open(&in, QFile::encodeName(path("a")).constData()));
    QCOMPARE(openDescriptorCount(), descriptors + 1);
    // A second open would leak the first file.
    QVERIFY(!dpatch_TFileStreamInput_open(&in, QFile::encodeName(path("b")).constData()));
    QCOMPARE(in.base.streamSize, quint64(4));
    QVERIFY(dpatch_TFileStreamInput_close(&in));
    QVERIFY(dpatch_TFileStreamInput_close(&in));
    QCOMPARE(openDescriptorCount(), descriptors);
    QVERIFY(dpatch_TFileStreamInput_open(&in, QFile::encodeName(path("b")).constData()));
    QCOMPARE(in.base.streamSize, quint64(2));
    QVERIFY(dpatch_TFileStreamInput_close(&in));

    dpatch_TFileStreamOutput out = {};
    QVERIFY(dpatch_TFileStreamOutput_close(&out));
    QVERIFY(dpatch_TFileStreamOutput_open(&out, QFile::encodeName(path("o")).constData(), 3));
    QVERIFY(!dpatch_TFileStreamOutput_open(&out, QFile::encodeName(path("p")).constData(), 3));
    QVERIFY(!QFile::exists(path("p")));
    QVERIFY(dpatch_TFileStreamOutput_close(&out));
    QVERIFY(dpatch_TFileStreamOutput_close(&out));
    QCOMPARE(openDescriptorCount(), descriptors);
}

void TestFileServices::outputWritesOnlySequentially()
{
    writeFile(path("o"), "old contents that must go");
    const QByteArray data = randomBytes(200, 4);
    dpatch_TFileStreamOutput out = {};
    QVERIFY(dpatch_TFileStreamOutput_open(&out, QFile::encodeName(path("o")).constData(), 1000));
    QVERIFY(writeAt(out, 0, data.left(100)));
    QVERIFY(writeAt(out, 100, data.mid(100)));
    QCOMPARE(out.out_length, quint64(200));
    QVERIFY(!out.fileError);
    QVERIFY(writeAt(out, 777, QByteArray())); // empty: nothing checked, nothing changed
    QVERIFY(!out.fileError);
    QVERIFY(!writeAt(out, 50, "overwrite"));
    QVERIFY(out.fileError);
    QCOMPARE(out.out_length, quint64(200));
    QVERIFY(dpatch_TFileStreamOutput_close(&out));
    QCOMPARE(readFile(path("o"), "<missing>"), data);

    dpatch_TFileStreamOutput gap = {};
    QVERIFY(dpatch_TFileStreamOutput_open(&gap, QFile::encodeName(path("gap")).constData(), 10));
    QVERIFY(!writeAt(gap, 1, "x"));
    QVERIFY(dpatch_TFileStreamOutput_close(&gap));
    QCOMPARE(readFile(path("gap"), "<missing>"), QByteArray());
}

void TestFileServices::outputRefusesWritesPastDeclaredSize()
{
    dpatch_TFileStreamOutput out = {};
    QVERIFY(dpatch_TFileStreamOutput_open(&out, QFile::encodeName(path("o")).constData(), 10));
    QVERIFY(writeAt(out, 0, "12345678"));
    QVERIFY(!writeAt(out, 8, "abc"));
    QVERIFY(out.fileError);
    QCOMPARE(out.out_length, quint64(8));
    QVERIFY(dpatch_TFileStreamOutput_close(&out));
    QCOMPARE(readFile(path("o"), "<missing>"), QByteArray("12345678"));
}

void TestFileServices::outputReadBackThenWriteFails()
{
    dpatch_TFileStreamOutput out = {};
    QVERIFY(dpatch_TFileStreamOutput_open(&out, QFile::encodeName(path("o")).constData(), 20));
    QVERIFY(writeAt(out, 0, "0123456789"));
    QByteArray back(4, '\0');
    // Read back while the bytes are still in stdio's buffer.
    QVERIFY(out.base.readBack(&out.base, 3, bytes(back), bytes(back) + 4));
    QCOMPARE(back, QByteArray("3456"));
    QVERIFY(out.readingBack);
    QVERIFY(!out.base.readBack(&out.base, 17, bytes(back), bytes(back) + 4));
    QVERIFY(out.fileError);
    QVERIFY(!writeAt(out, 10, "abc"));
    QVERIFY(!out.readingBack);
    QVERIFY(dpatch_TFileStreamOutput_close(&out));
    QCOMPARE(readFile(path("o"), "<missing>"), QByteArray("0123456789"));
}

void TestFileServices::outputOpenExistingContinuesAtEnd()
{
    const int descriptors = openDescriptorCount();
    writeFile(path("e"), "head");
    dpatch_TFileStreamOutput out = {};
    QVERIFY(!dpatch_TFileStreamOutput_openExisting(&out, QFile::encodeName(path("e")).constData(), 3));
    QVERIFY(out.fileHandle == nullptr);
    QCOMPARE(openDescriptorCount(), descriptors);
    QVERIFY(!dpatch_TFileStreamOutput_openExisting(&out, QFile::encodeName(path("none")).constData(), 9));
    QVERIFY(!QFile::exists(path("none")));
    QVERIFY(dpatch_TFileStreamOutput_openExisting(&out, QFile::encodeName(path("e")).constData(), 8));
    QCOMPARE(out.out_length, quint64(4));
    QVERIFY(!writeAt(out, 0, "x"));
    QVERIFY(dpatch_TFileStreamOutput_close(&out));
    out = {};
    QVERIFY(dpatch_TFileStreamOutput_openExisting(&out, QFile::encodeName(path("e")).constData(), 8));
    QVERIFY(writeAt(out, 4, "tail"));
    QVERIFY(dpatch_TFileStreamOutput_sync(&out));
    QCOMPARE(readFile(path("e"), "<missing>"), QByteArray("headtail"));
    QVERIFY(dpatch_TFileStreamOutput_close(&out));
}

void TestFileServices::fullDeviceFailsWriteOrClose()
{
    // A small write only reaches stdio's buffer, so the full device shows at close; a large one fails at once.
    dpatch_TFileStreamOutput small = {};
    QVERIFY(dpatch_TFileStreamOutput_open(&small, "/dev/full", 100));
    QVERIFY(writeAt(small, 0, "just a little"));
    QVERIFY(!dpatch_TFileStreamOutput_close(&small));
    QVERIFY(small.fileHandle == nullptr);

    const QByteArray data = randomBytes(2 * 1024 * 1024, 5);
    dpatch_TFileStreamOutput large = {};
    QVERIFY(dpatch_TFileStreamOutput_open(&large, "/dev/full", quint64(data.size())));
    QVERIFY(!writeAt(large, 0, data));
    QVERIFY(large.fileError);
    QCOMPARE(large.filePos, dpatch_kUnknownFilePos);
    QCOMPARE(large.out_length, quint64(0));
    dpatch_TFileStreamOutput_close(&large);

    dpatch_TFileStreamOutput synced = {};
    QVERIFY(dpatch_TFileStreamOutput_open(&synced, "/dev/full", 100));
    QVERIFY(writeAt(synced, 0, "abc"));
    QVERIFY(!dpatch_TFileStreamOutput_sync(&synced));
    dpatch_TFileStreamOutput_close(&synced);
}

void TestFileServices::fullFileSystemFailsWrite()
{
    const QString mountPoint = path("small-fs");
    QVERIFY(QDir().mkpath(mountPoint));
    if (mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("cannot mount a small tmpfs here (needs root); /dev/full covers the failure paths");
    const QByteArray target = QFile::encodeName(mountPoint + "/new");
    const QByteArray data = randomBytes(256 * 1024, 6);
    dpatch_TFileStreamOutput out = {};
    BOOL written = 0;
    BOOL closed = 0;
    if (dpatch_TFileStreamOutput_open(&out, target.constData(), quint64(data.size()))) {
        written = writeAt(out, 0, data.left(16 * 1024)) && writeAt(out, 16 * 1024, data.mid(16 * 1024));
        closed = dpatch_TFileStreamOutput_close(&out);
    }
    umount(QFile::encodeName(mountPoint).constData());
    QVERIFY(!written);
    QVERIFY(out.fileError);
    Q_UNUSED(closed);
}

void TestFileServices::pathStat_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("type");
    QTest::addColumn<quint64>("size");
    const quint64 untouched = 4242;
    QTest::newRow("missing path exists not") << "nothing" << true << int(kPathType_notExist) << untouched;
    QTest::newRow("missing directory path") << "nothing/" << true << int(kPathType_notExist) << untouched;
    QTest::newRow("regular file with size") << "file" << true << int(kPathType_file) << quint64(7);
    QTest::newRow("directory") << "dir" << true << int(kPathType_dir) << quint64(0);
    QTest::newRow("directory with slash") << "dir/" << true << int(kPathType_dir) << quint64(0);
    QTest::newRow("link to directory followed") << "dirlink/" << true << int(kPathType_dir) << quint64(0);
    QTest::newRow("link to file followed") << "filelink" << true << int(kPathType_file) << quint64(7);
    QTest::newRow("file used as directory") << "file/x" << false << 0 << untouched;
    QTest::newRow("pipe is neither") << "fifo" << false << 0 << untouched;
}

void TestFileServices::pathStat()
{
    QFETCH(QString, name);
    QFETCH(bool, ok);
    QFETCH(int, type);
    QFETCH(quint64, size);
    writeFile(path("file"), "1234567");
    QVERIFY(QDir(dir->path()).mkpath("dir"));
    QFile::link(path("dir"), path("dirlink"));
    QFile::link(path("file"), path("filelink"));
    mkfifo(QFile::encodeName(path("fifo")).constData(), 0644);
    dpatch_TPathType gotType = dpatch_TPathType(99);
    dpatch_StreamPos_t gotSize = 4242;
    QCOMPARE(bool(dpatch_getPathStat(QFile::encodeName(path(name)).constData(), &gotType, &gotSize)), ok);
    if (ok)
        QCOMPARE(int(gotType), type);
    QCOMPARE(gotSize, size);
    // The size output is optional.
    QCOMPARE(bool(dpatch_getPathStat(QFile::encodeName(path(name)).constData(), &gotType, nullptr)), ok);
}

void TestFileServices::trailingSlashes_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("stripped");
    QTest::newRow("none") << QByteArray("a/b") << QByteArray("a/b");
    QTest::newRow("one") << QByteArray("a/b/") << QByteArray("a/b");
    QTest::newRow("several") << QByteArray("a/b///") << QByteArray("a/b");
    QTest::newRow("inner ones kept") << QByteArray("a//b") << QByteArray("a//b");
    QTest::newRow("current folder") << QByteArray("./") << QByteArray(".");
    QTest::newRow("root stays the root") << QByteArray("/") << QByteArray("/");
    QTest::newRow("root spelled twice") << QByteArray("//") << QByteArray("/");
    QTest::newRow("empty") << QByteArray("") << QByteArray("");
}

void TestFileServices::trailingSlashes()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, stripped);
    QCOMPARE(dpatch_lengthWithoutTrailingSlashes(path.constData()), size_t(stripped.size()));
    char buf[dpatch_kPathBufSize];
    memset(buf, '#', sizeof(buf));
    QVERIFY(dpatch_copyWithoutTrailingSlashes(path.constData(), buf));
    QCOMPARE(QByteArray(buf), stripped);
}

void TestFileServices::makeDir_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ok");
    QTest::newRow("new directory") << "new" << true;
    QTest::newRow("new directory with slash") << "new/" << true;
    QTest::newRow("existing directory") << "dir/" << true;
    QTest::newRow("existing file") << "file" << false;
    QTest::newRow("existing file named as directory") << "file/" << false;
    QTest::newRow("missing parent") << "a/b/" << false;
    QTest::newRow("below a file") << "file/sub/" << false;
}

void TestFileServices::makeDir()
{
    QFETCH(QString, name);
    QFETCH(bool, ok);
    writeFile(path("file"), "x");
    QVERIFY(QDir(dir->path()).mkpath("dir"));
    writeFile(path("dir/keep"), "k");
    QCOMPARE(bool(dpatch_makeDir(QFile::encodeName(path(name)).constData())), ok);
    if (ok) {
        QVERIFY(QFileInfo(path(name)).isDir());
        QCOMPARE(modeOf(path(name)), 0755);
    }
    QCOMPARE(readFile(path("file"), "<missing>"), QByteArray("x"));
    QCOMPARE(readFile(path("dir/keep"), "<missing>"), QByteArray("k"));
    QVERIFY(!QFileInfo::exists(path("a")));
}

void TestFileServices::longPathsRefused()
{
    // Build a real directory path of exactly 2047 bytes, which must still work, and refuse 2048.
    QByteArray base = QFile::encodeName(dir->path());
    QByteArray deep = base;
    while (deep.size() + 1 + 200 < 2047 - 1) {
        deep += '/' + QByteArray(200, 'd');
        QVERIFY(dpatch_makeDir(deep.constData()));
    }
    const QByteArray longest = deep + '/' + QByteArray(2047 - deep.size() - 2, 'e') + '/';
    QCOMPARE(longest.size(), 2047);
    QVERIFY(dpatch_makeDir(longest.constData()));
    dpatch_TPathType type;
    QVERIFY(dpatch_getPathStat(longest.constData(), &type, nullptr));
    QCOMPARE(int(type), int(kPathType_dir));
    QVERIFY(deleteDirectory(longest.constData()));

    const QByteArray tooLong = deep + '/' + QByteArray(2048 - deep.size() - 2, 'e') + '/';
    QCOMPARE(tooLong.size(), 2048);
    QVERIFY(!dpatch_makeDir(tooLong.constData()));
    QVERIFY(!dpatch_getPathStat(tooLong.constData(), &type, nullptr));
    QVERIFY(!deleteDirectory(tooLong.constData()));
    QVERIFY(!removeFile(tooLong.constData()));
    const QByteArray plain = base + "/plain";
    writeFile(QFile::decodeName(plain), "p");
    QVERIFY(!renamePath(plain.constData(), tooLong.constData()));
    QVERIFY(!renamePath(tooLong.constData(), plain.constData()));
    QVERIFY(QFile::exists(QFile::decodeName(plain)));
}

void TestFileServices::executeBits()
{
    writeFile(path("plain"), "x");
    writeFile(path("tool"), "x");
    writeFile(path("private"), "x");
    QVERIFY(chmod(QFile::encodeName(path("plain")).constData(), 0644) == 0);
    QVERIFY(chmod(QFile::encodeName(path("tool")).constData(), 0744) == 0);
    QVERIFY(chmod(QFile::encodeName(path("private")).constData(), 0600) == 0);
    QVERIFY(QDir(dir->path()).mkpath("dir"));
    QVERIFY(!dpatch_isExecuteFile(QFile::encodeName(path("plain")).constData()));
    QVERIFY(dpatch_isExecuteFile(QFile::encodeName(path("tool")).constData()));
    QVERIFY(!dpatch_isExecuteFile(QFile::encodeName(path("dir")).constData()));
    QVERIFY(!dpatch_isExecuteFile(QFile::encodeName(path("missing")).constData()));

    QVERIFY(!dpatch_setExecuteTag(QFile::encodeName(path("missing")).constData()));
    QVERIFY(!QFile::exists(path("missing")));
    QVERIFY(dpatch_setExecuteTag(QFile::encodeName(path("plain")).constData()));
    QCOMPARE(modeOf(path("plain")), 0755);
    QVERIFY(dpatch_setExecuteTag(QFile::encodeName(path("private")).constData()));
    QCOMPARE(modeOf(path("private")), 0711);
    QVERIFY(dpatch_isExecuteFile(QFile::encodeName(path("private")).constData()));
}

void TestFileServices::tempPathName()
{
    const QByteArray work = QFile::encodeName(path("work")) + '/';
    QVERIFY(dpatch_makeDir(work.constData()));
    char buf[dpatch_kPathBufSize];
    QVERIFY(getTempPathName(work.constData(), buf, buf + sizeof(buf)));
    QCOMPARE(QByteArray(buf), QFile::encodeName(path("work001.tmp")));
    writeFile(path("work001.tmp"), "taken");
    QVERIFY(getTempPathName(work.constData(), buf, buf + sizeof(buf)));
    QCOMPARE(QByteArray(buf), QFile::encodeName(path("work002.tmp")));
    // every trailing '/' goes: the name is still the folder's sibling, never a name inside it
    QVERIFY(getTempPathName((work + "//").constData(), buf, buf + sizeof(buf)));
    QCOMPARE(QByteArray(buf), QFile::encodeName(path("work002.tmp")));

    // The buffer must hold the stripped path and 12 more bytes; one less fails without writing.
    const qsizetype needed = work.size() - 1 + 12;
    QByteArray exact(needed, '#');
    QVERIFY(getTempPathName(work.constData(), exact.data(), exact.data() + exact.size()));
    QByteArray tooSmall(needed - 1, '#');
    QVERIFY(!getTempPathName(work.constData(), tooSmall.data(), tooSmall.data() + tooSmall.size()));
    QCOMPARE(tooSmall, QByteArray(needed - 1, '#'));

    for (int n = 2; n <= 999; ++n)
        writeFile(path(QString("work%1.tmp").arg(n, 3, 10, QChar('0'))), "");
    QVERIFY(!getTempPathName(work.constData(), buf, buf + sizeof(buf)));
}

void TestFileServices::renameAndRemove()
{
    QVERIFY(QDir(dir->path()).mkpath("from/inner"));
    writeFile(path("from/inner/f"), "data");
    QVERIFY(renamePath(QFile::encodeName(path("from/")).constData(), QFile::encodeName(path("to/")).constData()));
    QCOMPARE(readFile(path("to/inner/f"), "<missing>"), QByteArray("data"));
    QVERIFY(
        relocatePath(QFile::encodeName(path("to/inner/f")).constData(), QFile::encodeName(path("to/g")).constData()));
    QCOMPARE(readFile(path("to/g"), "<missing>"), QByteArray("data"));
    QVERIFY(!renamePath(QFile::encodeName(path("gone")).constData(), QFile::encodeName(path("x")).constData()));

    QVERIFY(!deleteDirectory(QFile::encodeName(path("to/")).constData())); // not empty
    QVERIFY(removeFile(QFile::encodeName(path("to/g")).constData()));
    QVERIFY(!removeFile(QFile::encodeName(path("to/g")).constData()));
    QVERIFY(deleteDirectory(QFile::encodeName(path("to/inner/")).constData()));
    QVERIFY(deleteDirectory(QFile::encodeName(path("to")).constData()));
    QVERIFY(!QFileInfo::exists(path("to")));
}

void TestFileServices::plainStdioHelpers()
{
    const int descriptors = openDescriptorCount();
    FILE* file = nullptr;
    QVERIFY(!openForCreate(QFile::encodeName(path("c")).constData(), nullptr));
    QVERIFY(!QFile::exists(path("c")));
    QVERIFY(openForCreate(QFile::encodeName(path("c")).constData(), &file));
    const QByteArray data = randomBytes(1024 * 1024 + 3, 7);
    QVERIFY(writeChunked(file, bytes(data), bytes(data) + data.size()));
    QCOMPARE(fclose(file), 0);

    dpatch_StreamPos_t size = 0;
    QVERIFY(!openForRead(QFile::encodeName(path("c")).constData(), nullptr, &size));
    QVERIFY(openForRead(QFile::encodeName(path("c")).constData(), &file, &size));
    QCOMPARE(size, quint64(data.size()));
    QCOMPARE(ftello(file), off_t(0));
    fclose(file);

    QVERIFY(openForAppend(QFile::encodeName(path("c")).constData(), &file, &size));
    QCOMPARE(size, quint64(data.size()));
    const QByteArray tail("++");
    QVERIFY(writeChunked(file, bytes(tail), bytes(tail) + tail.size()));
    fclose(file);
    QCOMPARE(readFile(path("c"), "<missing>"), data + "++");
    QVERIFY(!openForAppend(QFile::encodeName(path("none")).constData(), &file, nullptr));
    QVERIFY(!QFile::exists(path("none")));

    QVERIFY(openForCreate("/dev/full", &file));
    QVERIFY(!writeChunked(file, bytes(data), bytes(data) + data.size()));
    fclose(file);
    QCOMPARE(openDescriptorCount(), descriptors);
}

QTEST_GUILESS_MAIN(TestFileServices)
#include "TestFileServices.moc"
