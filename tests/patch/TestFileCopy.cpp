// Copies of unchanged files on real file systems: which way the bytes take (shared blocks on XFS, the
// kernel's copy within a tmpfs, reads and writes from one file system to another), that every way gives the
// same file with the same mode and shows a copy listener every byte, that a part appended to a growing file
// takes the same ways, that a full disk fails the copy cleanly, that a cloned copy really shares its blocks,
// and that a whole patch keeps execute bits on every way.
// XFS and the small tmpfs are mounted by the test (as root); rows that need a mount that can't be made skip
// and say why.

#include "patch/dir/file_copy.h"
#include "patch/dir/new_dir_output.h"
#include "patch/drivers/dir_patch_driver.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/OpenDescriptors.h"
#include "support/RandomBytes.h"
#include "support/ScratchMount.h"
#include "support/StderrCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
const qint64 kMiB = 1024 * 1024;
const qint64 kBuffer = qint64(dpatch_kCopyBufferSize);
const qint64 kFullTmpfsSize = 256 * 1024;

// Where a copy goes from and to.
enum Place
{
    OnOneDisk,       // both in the system's temporary folder
    OnXfs,           // both on a loop-mounted XFS
    OnTmpfs,         // both on one tmpfs
    DiskToTmpfs,     // from the temporary folder onto a tmpfs
    OnFullTmpfs,     // both on a tmpfs of kFullTmpfsSize bytes
    DiskToFullTmpfs, // from the temporary folder onto a tmpfs of kFullTmpfsSize bytes
};

struct ByteCollector
{
    dpatch_TCopyListener base;
    QByteArray bytes;
    QList<int> pieces;
};

void collect(dpatch_TCopyListener* listener, const unsigned char* data, const unsigned char* data_end)
{
    ByteCollector* self = static_cast<ByteCollector*>(listener->listenerOwner);
    self->bytes.append(reinterpret_cast<const char*>(data), data_end - data);
    self->pieces.append(int(data_end - data));
}

mode_t modeOf(const QString& path)
{
    struct stat info = {};
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : mode_t(-1);
}

// The mode of a file the process creates without asking for one.
mode_t defaultFileMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

dev_t deviceOf(const QString& path)
{
    struct stat info = {};
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_dev : dev_t(-1);
}

// The (physical offset, length) of every extent of a file, and whether all of them are shared.
struct Extents
{
    QList<QPair<quint64, quint64>> list;
    bool allShared = true;
    QString error;
};

Extents extentsOf(const QString& path)
{
    Extents result;
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = "can't open " + path;
        return result;
    }
    const quint32 kMaxExtents = 256;
    std::vector<char> memory(sizeof(struct fiemap) + kMaxExtents * sizeof(struct fiemap_extent), 0);
    struct fiemap* map = reinterpret_cast<struct fiemap*>(memory.data());
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = kMaxExtents;
    if (ioctl(fd, FS_IOC_FIEMAP, map) != 0)
        result.error = "FIEMAP failed on " + path;
    for (quint32 i = 0; result.error.isEmpty() && i < map->fm_mapped_extents; ++i) {
        const struct fiemap_extent& extent = map->fm_extents[i];
        result.list.append({extent.fe_physical, extent.fe_length});
        if (!(extent.fe_flags & FIEMAP_EXTENT_SHARED))
            result.allShared = false;
    }
    close(fd);
    return result;
}

// One copy through the engine, with what it printed and the descriptors it left open.
struct CopyRun
{
    BOOL copied = 0;
    dpatch_TCopyWay way = kCopyWay_plain;
    QByteArray errors;
    int descriptorsLeftOpen = 0;
};

CopyRun copyOnce(const QString& oldPath, const QString& newPath, dpatch_TCopyListener* listener)
{
    CopyRun run;
    StderrCapture capture;
    const int descriptorsBefore = openDescriptorCount();
    run.copied = dpatch_copyFileByFastestWay(QFile::encodeName(oldPath).constData(),
                                             QFile::encodeName(newPath).constData(), listener, &run.way);
    run.descriptorsLeftOpen = openDescriptorCount() - descriptorsBefore;
    run.errors = capture.take();
    return run;
}
} // namespace

class TestFileCopy : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void copyWays_data();
    void copyWays();
    void fullDiskFailsTheCopy_data();
    void fullDiskFailsTheCopy();
    void clonedCopySharesItsBlocks();
    void appendWays_data();
    void appendWays();
    void appendOfAMissingPartFails();
    void patchKeepsExecuteBitsOnEveryWay_data();
    void patchKeepsExecuteBitsOnEveryWay();

private:
    // The folders a row copies from and to, each new and empty; false (with why) when the place can't be had.
    bool folders(Place place, QString* from, QString* to, QString* whyNot);
    // An old file's path and a new one's in the folders of a place.
    bool filePaths(Place place, QString* oldPath, QString* newPath, QString* whyNot);

    std::unique_ptr<ScratchMount> xfs;
    std::unique_ptr<ScratchMount> tmpfs;
    std::unique_ptr<ScratchMount> fullTmpfs;
    std::vector<std::unique_ptr<QTemporaryDir>> rowFolders;
};

void TestFileCopy::initTestCase()
{
    xfs = std::make_unique<ScratchMount>(ScratchMount::Xfs, ScratchMount::kSmallestXfs);
    tmpfs = std::make_unique<ScratchMount>(ScratchMount::Tmpfs, 64 * kMiB);
    if (!xfs->isMounted())
        qInfo("no XFS: %s", qPrintable(xfs->whyNot()));
}

void TestFileCopy::cleanupTestCase()
{
    rowFolders.clear();
    fullTmpfs.reset();
    tmpfs.reset();
    xfs.reset();
}

bool TestFileCopy::folders(Place place, QString* from, QString* to, QString* whyNot)
{
    QString fromRoot = QDir::tempPath();
    QString toRoot = QDir::tempPath();
    if (place == OnXfs) {
        if (!xfs->isMounted()) {
            *whyNot = "no XFS to clone on: " + xfs->whyNot();
            return false;
        }
        fromRoot = toRoot = xfs->path();
    }
    if (place == OnTmpfs || place == DiskToTmpfs) {
        // without root the shared memory tmpfs serves as well
        toRoot = tmpfs->isMounted() ? tmpfs->path() : QString("/dev/shm");
        if (!QFileInfo(toRoot).isDir()) {
            *whyNot = "no tmpfs: " + tmpfs->whyNot();
            return false;
        }
        if (place == OnTmpfs)
            fromRoot = toRoot;
    }
    if (place == OnFullTmpfs || place == DiskToFullTmpfs) {
        // a fresh one each time: the row fills it
        rowFolders.clear();
        fullTmpfs = std::make_unique<ScratchMount>(ScratchMount::Tmpfs, kFullTmpfsSize);
        if (!fullTmpfs->isMounted()) {
            *whyNot = "no small tmpfs to fill: " + fullTmpfs->whyNot();
            return false;
        }
        toRoot = fullTmpfs->path();
        if (place == OnFullTmpfs)
            fromRoot = toRoot;
    }
    if ((place == DiskToTmpfs || place == DiskToFullTmpfs) && deviceOf(fromRoot) == deviceOf(toRoot)) {
        *whyNot = "the temporary folder is on the tmpfs itself";
        return false;
    }
    for (QString* folder : {from, to}) {
        const QString& root = folder == from ? fromRoot : toRoot;
        rowFolders.push_back(std::make_unique<QTemporaryDir>(root + "/copy-XXXXXX"));
        if (!rowFolders.back()->isValid()) {
            *whyNot = "can't make a folder in " + root;
            return false;
        }
        *folder = rowFolders.back()->path();
    }
    return true;
}

bool TestFileCopy::filePaths(Place place, QString* oldPath, QString* newPath, QString* whyNot)
{
    QString from;
    QString to;
    if (!folders(place, &from, &to, whyNot))
        return false;
    *oldPath = from + "/old.bin";
    *newPath = to + "/new.bin";
    return true;
}

void TestFileCopy::copyWays_data()
{
    QTest::addColumn<int>("place");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("oldIsExecutable");
    QTest::addColumn<bool>("overALongerFile");
    QTest::addColumn<bool>("withListener");
    QTest::addColumn<int>("way");

    const qint64 large = 3 * kBuffer + 4093; // several buffers and an odd tail
    QTest::newRow("cloned") << int(OnXfs) << large << false << false << false << int(kCopyWay_clone);
    QTest::newRow("cloned, with a listener") << int(OnXfs) << large << false << false << true << int(kCopyWay_clone);
    QTest::newRow("cloned over a longer file") << int(OnXfs) << kMiB << false << true << false << int(kCopyWay_clone);
    QTest::newRow("cloned, one byte") << int(OnXfs) << qint64(1) << false << false << false << int(kCopyWay_clone);
    QTest::newRow("kernel copy") << int(OnTmpfs) << large << false << false << false << int(kCopyWay_kernel);
    QTest::newRow("kernel copy, with a listener")
        << int(OnTmpfs) << large << false << false << true << int(kCopyWay_kernel);
    QTest::newRow("kernel copy over a longer file")
        << int(OnTmpfs) << kMiB << false << true << false << int(kCopyWay_kernel);
    QTest::newRow("plain fallback") << int(DiskToTmpfs) << large << false << false << false << int(kCopyWay_plain);
    QTest::newRow("plain fallback, with a listener")
        << int(DiskToTmpfs) << large << false << false << true << int(kCopyWay_plain);
    QTest::newRow("plain fallback over a longer file")
        << int(DiskToTmpfs) << kMiB << false << true << false << int(kCopyWay_plain);
    QTest::newRow("plain fallback, one byte short of the buffer")
        << int(DiskToTmpfs) << kBuffer - 1 << false << false << true << int(kCopyWay_plain);
    QTest::newRow("plain fallback, exactly the buffer")
        << int(DiskToTmpfs) << kBuffer << false << false << true << int(kCopyWay_plain);
    QTest::newRow("plain fallback, one byte")
        << int(DiskToTmpfs) << qint64(1) << false << false << true << int(kCopyWay_plain);
    QTest::newRow("empty file") << int(OnOneDisk) << qint64(0) << false << false << true << int(kCopyWay_none);
    QTest::newRow("empty file over a longer file")
        << int(OnOneDisk) << qint64(0) << false << true << false << int(kCopyWay_none);
    QTest::newRow("empty file onto a tmpfs")
        << int(DiskToTmpfs) << qint64(0) << false << false << false << int(kCopyWay_none);
    // the copy takes the bytes only: the patch sets the execute bits it lists, once all files are there
    QTest::newRow("executable old file, cloned") << int(OnXfs) << kMiB << true << false << false << int(kCopyWay_clone);
    QTest::newRow("executable old file, kernel copy")
        << int(OnTmpfs) << kMiB << true << false << false << int(kCopyWay_kernel);
    QTest::newRow("executable old file, plain fallback")
        << int(DiskToTmpfs) << kMiB << true << false << false << int(kCopyWay_plain);
}

void TestFileCopy::copyWays()
{
    QFETCH(int, place);
    QFETCH(qint64, size);
    QFETCH(bool, oldIsExecutable);
    QFETCH(bool, overALongerFile);
    QFETCH(bool, withListener);
    QFETCH(int, way);
    QString oldPath;
    QString newPath;
    QString whyNot;
    if (!filePaths(Place(place), &oldPath, &newPath, &whyNot))
        QSKIP(qPrintable(whyNot));
    const QByteArray content = randomBytes(size, quint32(size));
    QVERIFY(writeFile(oldPath, content));
    if (oldIsExecutable)
        QVERIFY(chmod(QFile::encodeName(oldPath).constData(), 0755) == 0);
    if (overALongerFile)
        QVERIFY(writeFile(newPath, randomBytes(size + 3 * kMiB + 5, 99)));

    ByteCollector collector;
    collector.base = {&collector, collect};
    const CopyRun run = copyOnce(oldPath, newPath, withListener ? &collector.base : nullptr);

    QVERIFY2(run.copied, run.errors.constData());
    QCOMPARE(run.errors, QByteArray());
    QCOMPARE(int(run.way), way);
    QCOMPARE(run.descriptorsLeftOpen, 0);
    QVERIFY(readFile(newPath, "<unreadable>") == content);
    QCOMPARE(modeOf(newPath), defaultFileMode());
    QVERIFY(readFile(oldPath, "<unreadable>") == content);
    if (withListener) {
        QVERIFY(collector.bytes == content);
        for (int piece : collector.pieces)
            QVERIFY(piece > 0 && piece <= kBuffer);
    } else
        QVERIFY(collector.pieces.isEmpty());
}

void TestFileCopy::fullDiskFailsTheCopy_data()
{
    QTest::addColumn<int>("place");
    QTest::addColumn<qint64>("size");
    // the old file fills most of the tmpfs, so the kernel runs out of room in the middle of the copy
    QTest::newRow("kernel copy") << int(OnFullTmpfs) << kFullTmpfsSize * 5 / 8;
    QTest::newRow("plain fallback") << int(DiskToFullTmpfs) << 3 * kBuffer + 11;
    // all of it goes out in the write that completes it
    QTest::newRow("plain fallback, smaller than the buffer") << int(DiskToFullTmpfs) << kBuffer / 2 + 11;
}

void TestFileCopy::fullDiskFailsTheCopy()
{
    QFETCH(int, place);
    QFETCH(qint64, size);
    QString oldPath;
    QString newPath;
    QString whyNot;
    if (!filePaths(Place(place), &oldPath, &newPath, &whyNot))
        QSKIP(qPrintable(whyNot));
    QVERIFY(writeFile(oldPath, randomBytes(size, 7)));

    const CopyRun run = copyOnce(oldPath, newPath, nullptr);

    QVERIFY(!run.copied);
    QCOMPARE(int(run.way), int(kCopyWay_none));
    QVERIFY2(run.errors.startsWith("check ") && run.errors.contains(" error!"), run.errors.constData());
    QCOMPARE(run.descriptorsLeftOpen, 0);
    QVERIFY(QFileInfo(newPath).size() < size);
    QCOMPARE(QFileInfo(oldPath).size(), size);
}

void TestFileCopy::clonedCopySharesItsBlocks()
{
    QString oldPath;
    QString newPath;
    QString whyNot;
    if (!filePaths(OnXfs, &oldPath, &newPath, &whyNot))
        QSKIP(qPrintable(whyNot));
    const QByteArray content = randomBytes(5 * kMiB + 333, 11);
    QVERIFY(writeFile(oldPath, content));

    QVERIFY(dpatch_copyFile(QFile::encodeName(oldPath).constData(), QFile::encodeName(newPath).constData(), nullptr));

    const Extents oldExtents = extentsOf(oldPath);
    const Extents newExtents = extentsOf(newPath);
    QVERIFY2(oldExtents.error.isEmpty(), qPrintable(oldExtents.error));
    QVERIFY2(newExtents.error.isEmpty(), qPrintable(newExtents.error));
    QVERIFY(!newExtents.list.isEmpty());
    QVERIFY(newExtents.allShared);
    QVERIFY(oldExtents.allShared);
    QCOMPARE(newExtents.list, oldExtents.list);
    quint64 mapped = 0;
    for (const auto& extent : newExtents.list)
        mapped += extent.second;
    QVERIFY(mapped >= quint64(content.size()));
    QVERIFY(readFile(newPath, "<unreadable>") == content);
}

// Appending a part file at a place of a growing file, as a download joins its parts: blocks are shared only
// where the place is on a block boundary, else the kernel copies, else the bytes are read and written.
void TestFileCopy::appendWays_data()
{
    QTest::addColumn<int>("place");
    QTest::addColumn<qint64>("before");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("way");

    const qint64 odd = 2 * kBuffer + 4093;
    QTest::newRow("shared blocks at the start") << int(OnXfs) << qint64(0) << odd << int(kCopyWay_clone);
    QTest::newRow("shared blocks on a block boundary") << int(OnXfs) << 16 * qint64(4096) << odd << int(kCopyWay_clone);
    QTest::newRow("kernel copy off a block boundary") << int(OnXfs) << qint64(4093) << odd << int(kCopyWay_kernel);
    QTest::newRow("kernel copy within a tmpfs") << int(OnTmpfs) << qint64(777) << odd << int(kCopyWay_kernel);
    QTest::newRow("plain between file systems") << int(DiskToTmpfs) << qint64(777) << odd << int(kCopyWay_plain);
    QTest::newRow("plain, exactly the buffer") << int(DiskToTmpfs) << qint64(0) << kBuffer << int(kCopyWay_plain);
    QTest::newRow("empty part") << int(OnOneDisk) << qint64(10) << qint64(0) << int(kCopyWay_none);
}

void TestFileCopy::appendWays()
{
    QFETCH(int, place);
    QFETCH(qint64, before);
    QFETCH(qint64, size);
    QFETCH(int, way);
    QString partPath;
    QString joinedPath;
    QString whyNot;
    if (!filePaths(Place(place), &partPath, &joinedPath, &whyNot))
        QSKIP(qPrintable(whyNot));
    const QByteArray head = randomBytes(before, 3);
    const QByteArray part = randomBytes(size, quint32(size));
    QVERIFY(writeFile(joinedPath, head));
    QVERIFY(writeFile(partPath, part));

    const int out = ::open(QFile::encodeName(joinedPath).constData(), O_RDWR | O_CLOEXEC);
    QVERIFY(out >= 0);
    dpatch_StreamPos_t pos = dpatch_StreamPos_t(before);
    dpatch_TCopyWay taken = kCopyWay_none;
    StderrCapture capture;
    const BOOL appended = dpatch_appendFile(out, &pos, QFile::encodeName(partPath).constData(), &taken);
    ::close(out);
    const QByteArray errors = capture.take();

    QVERIFY2(appended, errors.constData());
    QCOMPARE(errors, QByteArray());
    QCOMPARE(int(taken), way);
    QCOMPARE(qint64(pos), before + size);
    QVERIFY(readFile(joinedPath) == head + part);
    QVERIFY(readFile(partPath) == part);
}

void TestFileCopy::appendOfAMissingPartFails()
{
    QString partPath;
    QString joinedPath;
    QString whyNot;
    QVERIFY2(filePaths(OnOneDisk, &partPath, &joinedPath, &whyNot), qPrintable(whyNot));
    QVERIFY(writeFile(joinedPath, "head"));
    const int out = ::open(QFile::encodeName(joinedPath).constData(), O_RDWR | O_CLOEXEC);
    QVERIFY(out >= 0);
    dpatch_StreamPos_t pos = 4;
    StderrCapture capture;
    const BOOL appended = dpatch_appendFile(out, &pos, QFile::encodeName(partPath).constData(), nullptr);
    const int error = errno;
    ::close(out);
    QVERIFY(!appended);
    QCOMPARE(error, ENOENT);
    QCOMPARE(qint64(pos), qint64(4));
    QVERIFY(capture.take().contains("dpatch_appendFile"));
    QCOMPARE(readFile(joinedPath), QByteArray("head"));
}

void TestFileCopy::patchKeepsExecuteBitsOnEveryWay_data()
{
    QTest::addColumn<int>("place");
    QTest::addColumn<int>("copyWay");
    QTest::newRow("cloned") << int(OnXfs) << int(kCopyWay_clone);
    QTest::newRow("kernel copy") << int(OnTmpfs) << int(kCopyWay_kernel);
    QTest::newRow("plain fallback") << int(DiskToTmpfs) << int(kCopyWay_plain);
}

void TestFileCopy::patchKeepsExecuteBitsOnEveryWay()
{
    QFETCH(int, place);
    QFETCH(int, copyWay);
    QString from;
    QString to;
    QString whyNot;
    if (!folders(Place(place), &from, &to, &whyNot))
        QSKIP(qPrintable(whyNot));
    const QByteArray game = randomBytes(2 * kBuffer + 77, 1);
    const QByteArray pak = randomBytes(kBuffer + 5, 2);
    const QByteArray changed = randomBytes(300 * 1024, 3);
    QByteArray changedNew = changed;
    changedNew.replace(1000, 64, randomBytes(64, 4));
    FileTree::Entries oldTree{{"bin/", FileTree::dir()},
                              {"bin/game", FileTree::file(game, true)},
                              {"bin/helper", FileTree::file(QByteArray("#!/bin/sh\n"), true)},
                              {"data/", FileTree::dir()},
                              {"data/a.pak", FileTree::file(pak)},
                              {"data/b.pak", FileTree::file(changed)}};
    FileTree::Entries newTree = oldTree;
    newTree["data/b.pak"] = FileTree::file(changedNew);
    newTree["data/empty"] = FileTree::file(QByteArray());
    newTree["data/c.pak"] = FileTree::file(randomBytes(70000, 5), true);
    newTree["bin/helper"].executable = false; // unchanged bytes, execute bit dropped
    newTree["data/a.pak"].executable = true;  // unchanged bytes, execute bit added

    const QString oldDir = from + "/old";
    const QString newDir = to + "/new";
    QTemporaryDir source;
    QVERIFY(FileTree::write(oldDir, oldTree));
    QVERIFY(FileTree::write(source.path() + "/new", newTree));
    const DirDiff diff = DirDiffWriter::build(oldDir, source.path() + "/new");
    QCOMPARE(diff.samePairs.size(), 3);
    QVERIFY(diff.save(source.path() + "/patch.diff"));

    // the copy way this row is about is the one the place gives
    const CopyRun probe = copyOnce(oldDir + "/bin/game", to + "/probe", nullptr);
    QVERIFY(probe.copied);
    QCOMPARE(int(probe.way), copyWay);
    QVERIFY(QFile::remove(to + "/probe"));

    TChecksumSet noChecks = {};
    const int descriptorsBefore = openDescriptorCount();
    const int code = runDirPatch(
        QFile::encodeName(oldDir).constData(), QFile::encodeName(source.path() + "/patch.diff").constData(),
        QFile::encodeName(newDir).constData(), 0, 512u * 1024 * 1024, 24, &noChecks, &defaultDirPatchListener, 0, 0);
    QCOMPARE(code, int(DPATCH_SUCCESS));
    QCOMPARE(openDescriptorCount(), descriptorsBefore);
    QCOMPARE(FileTree::read(newDir), newTree);
    QCOMPARE(FileTree::read(oldDir), oldTree);
}

QTEST_GUILESS_MAIN(TestFileCopy)
#include "TestFileCopy.moc"
