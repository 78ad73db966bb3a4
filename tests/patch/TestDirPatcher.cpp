// The directory patcher's steps driven by hand: the checksum checks with a checksum implementation
// of the test's own (the engine ships none), the open-file limit it hands to the limiter, its path
// accessors and its closes in every state.

#include "patch/dir/dir_patcher.h"
#include "patch/drivers/dir_patch_driver.h"
#include "patch/os/file_services.h"
#include "patch/os/zstd_decompress_plugin.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/RandomBytes.h"
#include "support/StderrCapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

namespace
{
using Entries = FileTree::Entries;

// 64-bit FNV-1a, stored little-endian: small and enough to tell changed bytes apart.
quint64 fnv(quint64 hash, const dpatch_byte* data, const dpatch_byte* end)
{
    for (; data < end; ++data)
        hash = (hash ^ *data) * 0x100000001b3ull;
    return hash;
}

QByteArray fnvBytes(const QByteArray& data)
{
    const quint64 hash = fnv(0xcbf29ce484222325ull, (const dpatch_byte*)data.constData(),
                             (const dpatch_byte*)data.constData() + data.size());
    return QByteArray((const char*)&hash, 8);
}

const char* fnvType()
{
    return "fnv1a64";
}

size_t fnvSize()
{
    return 8;
}

int openChecksums = 0;

dpatch_TChecksumHandle fnvOpen(dpatch_TChecksumPlugin*)
{
    ++openChecksums;
    return new quint64(0);
}

void fnvClose(dpatch_TChecksumPlugin*, dpatch_TChecksumHandle handle)
{
    --openChecksums;
    delete static_cast<quint64*>(handle);
}

void fnvBegin(dpatch_TChecksumHandle handle)
{
    *static_cast<quint64*>(handle) = 0xcbf29ce484222325ull;
}

void fnvAppend(dpatch_TChecksumHandle handle, const dpatch_byte* data, const dpatch_byte* data_end)
{
    quint64* hash = static_cast<quint64*>(handle);
    *hash = fnv(*hash, data, data_end);
}

void fnvEnd(dpatch_TChecksumHandle handle, dpatch_byte* out, dpatch_byte* out_end)
{
    QVERIFY(out_end - out == 8);
    memcpy(out, handle, 8);
}

dpatch_TChecksumPlugin fnvPlugin = {fnvType, fnvSize, fnvOpen, fnvClose, fnvBegin, fnvAppend, fnvEnd};

Entries oldTree()
{
    return {{"a.bin", FileTree::file(randomBytes(6000, 1))},
            {"b.bin", FileTree::file(randomBytes(3000, 2))},
            {"same.bin", FileTree::file(randomBytes(2000, 3))}};
}

Entries newTree()
{
    QByteArray changed = randomBytes(6000, 1);
    changed.replace(10, 4, "NEW!");
    return {{"a.bin", FileTree::file(changed + randomBytes(3000, 2).left(1000))},
            {"copy.bin", FileTree::file(randomBytes(2000, 3))},
            {"same.bin", FileTree::file(randomBytes(2000, 3))}};
}

// Runs the patcher's steps in the driver's order with the default listener; stops at the first failed
// step and closes.
struct PatcherRun
{
    TDirPatcher patcher;
    dpatch_TFileStreamInput diffFile;
    QByteArray failedStep;
    BOOL closed = 0;

    PatcherRun()
    {
        memset(&patcher, 0, sizeof(patcher));
        memset(&diffFile, 0, sizeof(diffFile));
    }

    void run(const QString& oldDir, const QString& diffPath, const QString& newDir, const TChecksumSet& set,
             size_t cacheSize)
    {
        const TDirDiffInfo* info = nullptr;
        const dpatch_TStreamInput* oldStream = nullptr;
        const dpatch_TStreamOutput* newStream = nullptr;
        std::vector<dpatch_byte> cache(cacheSize);
        const QByteArray oldPath = oldDir.toUtf8();
        const QByteArray newPath = newDir.toUtf8();
        if (!dpatch_TFileStreamInput_open(&diffFile, diffPath.toUtf8().constData()))
            failedStep = "open diff";
        else if (!TDirPatcher_open(&patcher, &diffFile.base, &info))
            failedStep = "head";
        else if (!TDirPatcher_loadDirData(&patcher, &zstdDecompressPlugin, oldPath.constData(), newPath.constData()))
            failedStep = "load";
        else if (!defaultDirPatchListener.patchBegin(&defaultDirPatchListener, &patcher))
            failedStep = "begin";
        else if (!TDirPatcher_checksum(&patcher, &set))
            failedStep = "checksum";
        else if (!TDirPatcher_openOldRefStream(&patcher, 24, &oldStream))
            failedStep = "old";
        else if (!TDirPatcher_openNewDirStream(&patcher, &defaultDirPatchListener, &newStream))
            failedStep = "new";
        else if (!TDirPatcher_patch(&patcher, newStream, oldStream, cache.data(), cache.data() + cache.size()))
            failedStep = "patch";
        else if (!defaultDirPatchListener.patchFinish(&defaultDirPatchListener, 1))
            failedStep = "finish";
        closed = TDirPatcher_closeNewDirStream(&patcher);
        closed = TDirPatcher_closeOldRefStream(&patcher) && closed;
        closed = TDirPatcher_close(&patcher) && closed;
        closed = dpatch_TFileStreamInput_close(&diffFile) && closed;
    }
};

QString treeDifference(const Entries& actual, const Entries& expected)
{
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        if (actual.value(it.key()) != it.value())
            return "differs " + it.key();
    }
    return actual.size() == expected.size() ? QString() : QString("entry count");
}

// A diff from one tree to another on disk, its file open and its head read into a patcher.
struct OpenedPatcher
{
    QTemporaryDir dir;
    QByteArray oldRoot;
    dpatch_TFileStreamInput diffFile = {};
    TDirPatcher patcher = {};
    const TDirDiffInfo* info = nullptr;
    bool ok = false;

    OpenedPatcher(const Entries& oldEntries, const Entries& newEntries)
    {
        oldRoot = (dir.path() + "/old").toUtf8();
        const QString diffPath = dir.path() + "/patch.diff";
        ok = FileTree::write(dir.path() + "/old", oldEntries) && FileTree::write(dir.path() + "/source", newEntries) &&
             DirDiffWriter::build(dir.path() + "/old", dir.path() + "/source").save(diffPath) &&
             dpatch_TFileStreamInput_open(&diffFile, diffPath.toUtf8().constData()) &&
             TDirPatcher_open(&patcher, &diffFile.base, &info);
    }

    bool close()
    {
        const bool closed = TDirPatcher_close(&patcher);
        return dpatch_TFileStreamInput_close(&diffFile) && closed;
    }
};

// Offsets of the four stored checksums in a diff written with the default options.
qsizetype checksumSlot(const DirDiff& diff, int slot)
{
    DirDiff copy = diff;
    copy.checksums.fill('\0');
    copy.checksum = nullptr;
    const QByteArray bytes = copy.toBytes();
    const qsizetype dataStart = bytes.size() - copy.cdiff.size() - copy.externData.size() -
                                copy.privateExternData.size() - copy.storedDirData().size();
    return dataStart - copy.checksums.size() + slot * 8;
}
} // namespace

class TestDirPatcher : public QObject
{
    Q_OBJECT
private slots:
    void checksums_data();
    void checksums();
    void checksumSetup_data();
    void checksumSetup();
    void openFileLimit_data();
    void openFileLimit();
    void closesInEveryState();
    void oldPathsFailAfterTheOldSideCloses();
    void sameFileReferenceCounts();
};

void TestDirPatcher::checksums_data()
{
    QTest::addColumn<QByteArray>("damage");
    QTest::addColumn<size_t>("cacheSize");
    QTest::addColumn<QByteArray>("failedStep");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("oldError");
    QTest::addColumn<bool>("newError");
    QTest::addColumn<bool>("copyError");
    const size_t big = 1 << 20;
    const size_t small = 36 * 1024; // less than the old data plus 32 KiB
    QTest::newRow("all intact, old data read into the cache")
        << QByteArray() << big << QByteArray() << QByteArray() << false << false << false;
    QTest::newRow("all intact, old data streamed")
        << QByteArray() << small << QByteArray() << QByteArray() << false << false << false;
    QTest::newRow("old file changed, cached")
        << QByteArray("old file") << big << QByteArray("patch")
        << QByteArray("check !self->_isOldRefDataChecksumError error!") << true << false << false;
    QTest::newRow("old file changed, streamed")
        << QByteArray("old file") << small << QByteArray("patch")
        << QByteArray("check !self->_isOldRefDataChecksumError error!") << true << false << false;
    QTest::newRow("stored new-data checksum differs")
        << QByteArray("slot 1") << big << QByteArray("patch")
        << QByteArray("check !self->_isNewRefDataChecksumError error!") << false << true << false;
    QTest::newRow("stored copied-files checksum differs")
        << QByteArray("slot 2") << big << QByteArray("patch")
        << QByteArray("check !self->_isCopyDataChecksumError error!") << false << false << true;
    QTest::newRow("both output checksums differ: the new-data line")
        << QByteArray("slots 1 2") << big << QByteArray("patch")
        << QByteArray("check !self->_isNewRefDataChecksumError error!") << false << true << true;
    QTest::newRow("a byte of the diff changed")
        << QByteArray("extern") << big << QByteArray("checksum")
        << QByteArray("check !self->_isDiffDataChecksumError error!") << false << false << false;
    QTest::newRow("the diff's own checksum changed")
        << QByteArray("slot 3") << big << QByteArray("checksum")
        << QByteArray("check !self->_isDiffDataChecksumError error!") << false << false << false;
}

void TestDirPatcher::checksums()
{
    QFETCH(QByteArray, damage);
    QFETCH(size_t, cacheSize);
    QFETCH(QByteArray, failedStep);
    QFETCH(QByteArray, line);
    QFETCH(bool, oldError);
    QFETCH(bool, newError);
    QFETCH(bool, copyError);
    QTemporaryDir dir;
    const QString oldDir = dir.path() + "/old";
    const QString newDir = dir.path() + "/new";
    const QString source = dir.path() + "/source";
    const QString diffPath = dir.path() + "/patch.diff";
    QVERIFY(FileTree::write(oldDir, oldTree()));
    QVERIFY(FileTree::write(source, newTree()));
    DirDiffWriter::Options options;
    options.checksumType = fnvType();
    options.checksum = fnvBytes;
    options.compressSections = true;
    DirDiff diff = DirDiffWriter::build(oldDir, source, options);
    diff.externData = "uninterpreted";
    diff.updateHead();
    const QList<QByteArray> damagedSlots =
        damage.startsWith("slot") ? damage.mid(damage.indexOf(" ") + 1).split(' ') : QList<QByteArray>();
    for (const QByteArray& slot : damagedSlots) {
        // stored before the diff's own checksum is taken, so only the slot's own check sees it
        if (slot.toInt() < 3)
            diff.checksums[slot.toInt() * 8] = char(diff.checksums[slot.toInt() * 8] ^ 1);
    }
    QByteArray bytes = diff.toBytes();
    if (damagedSlots.contains("3"))
        bytes[checksumSlot(diff, 3)] = char(bytes[checksumSlot(diff, 3)] ^ 1);
    if (damage == "extern")
        bytes[bytes.indexOf("uninterpreted")] = 'U';
    if (damage == "old file") {
        QFile file(oldDir + "/a.bin");
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.seek(100);
        file.write("X");
    }
    QFile file(diffPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();

    const TChecksumSet set = {&fnvPlugin, 1, 1, 1, 1};
    PatcherRun run;
    StderrCapture capture;
    run.run(oldDir, diffPath, newDir, set, cacheSize);
    const QByteArray err = capture.take();
    QCOMPARE(run.failedStep, failedStep);
    QVERIFY(run.closed);
    QCOMPARE(openChecksums, 0);
    if (line.isEmpty()) {
        QVERIFY2(err.isEmpty(), err.constData());
        QCOMPARE(treeDifference(FileTree::read(newDir), newTree()), QString());
    } else {
        QVERIFY2(err.split('\n').contains(line), err.constData());
    }
    QCOMPARE(bool(run.patcher._isOldRefDataChecksumError), oldError);
    QCOMPARE(bool(run.patcher._newDir._isNewRefDataChecksumError), newError);
    QCOMPARE(bool(run.patcher._newDir._isCopyDataChecksumError), copyError);
    if (newError && copyError)
        QVERIFY(!err.contains("check !self->_isCopyDataChecksumError error!"));
}

void TestDirPatcher::checksumSetup_data()
{
    QTest::addColumn<bool>("withPlugin");
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArray>("storedType");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("no plugin, no checks") << false << 0 << QByteArray() << QByteArray();
    QTest::newRow("no plugin, one check") << false << 1 << QByteArray() << QByteArray("check !isHaveCheck error!");
    QTest::newRow("plugin, no checks") << true << 0 << QByteArray(fnvType()) << QByteArray();
    QTest::newRow("plugin of another type")
        << true << 1 << QByteArray("crc32")
        << QByteArray(
               "check 0==strcmp(self->dirDiffInfo.checksumType,checksumSet->checksumPlugin->checksumType()) error!");
}

void TestDirPatcher::checksumSetup()
{
    QFETCH(bool, withPlugin);
    QFETCH(int, flags);
    QFETCH(QByteArray, storedType);
    QFETCH(QByteArray, line);
    QTemporaryDir dir;
    QVERIFY(FileTree::write(dir.path() + "/old", oldTree()));
    QVERIFY(FileTree::write(dir.path() + "/source", newTree()));
    DirDiffWriter::Options options;
    if (!storedType.isEmpty()) {
        options.checksumType = storedType;
        options.checksum = fnvBytes;
    }
    const DirDiff diff = DirDiffWriter::build(dir.path() + "/old", dir.path() + "/source", options);
    QVERIFY(diff.save(dir.path() + "/patch.diff"));
    const TChecksumSet set = {withPlugin ? &fnvPlugin : nullptr, flags, 0, 0, 0};
    PatcherRun run;
    StderrCapture capture;
    run.run(dir.path() + "/old", dir.path() + "/patch.diff", dir.path() + "/new", set, 1 << 20);
    const QByteArray err = capture.take();
    QCOMPARE(run.failedStep, line.isEmpty() ? QByteArray() : QByteArray("checksum"));
    if (!line.isEmpty())
        QVERIFY2(err.split('\n').contains(line), err.constData());
    QCOMPARE(openChecksums, 0);
}

void TestDirPatcher::openFileLimit_data()
{
    QTest::addColumn<int>("maxOpenFileNumber");
    QTest::addColumn<int>("limit");
    QTest::newRow("launcher's 24") << 24 << 22;
    QTest::newRow("3 leaves one") << 3 << 1;
    QTest::newRow("2 is raised to one") << 2 << 1;
    QTest::newRow("0 is raised to one") << 0 << 1;
}

void TestDirPatcher::openFileLimit()
{
    QFETCH(int, maxOpenFileNumber);
    QFETCH(int, limit);
    OpenedPatcher opened(oldTree(), newTree());
    QVERIFY(opened.ok);
    const dpatch_TStreamInput* oldStream = nullptr;
    QVERIFY(TDirPatcher_loadDirData(&opened.patcher, nullptr, opened.oldRoot.constData(), "unused"));
    QVERIFY(TDirPatcher_openOldRefStream(&opened.patcher, size_t(maxOpenFileNumber), &oldStream));
    QCOMPARE(opened.patcher._resLimit._maxOpenCount, dpatch_StreamPos_t(limit));
    QCOMPARE(oldStream->streamSize, opened.info->cdiffInfo.oldDataSize);
    QVERIFY(opened.close());
}

void TestDirPatcher::closesInEveryState()
{
    TDirPatcher zeroed = {};
    QVERIFY(TDirPatcher_closeNewDirStream(&zeroed));
    QVERIFY(TDirPatcher_closeOldRefStream(&zeroed));
    QVERIFY(TDirPatcher_close(&zeroed));
    QVERIFY(TDirPatcher_close(&zeroed));

    OpenedPatcher opened(oldTree(), newTree());
    QVERIFY(opened.ok);
    QVERIFY(TDirPatcher_close(&opened.patcher)); // right after the head was read
    QVERIFY(opened.close());
}

void TestDirPatcher::oldPathsFailAfterTheOldSideCloses()
{
    OpenedPatcher opened(oldTree(), newTree());
    QVERIFY(opened.ok);
    TDirPatcher* patcher = &opened.patcher;
    const QByteArray& oldRoot = opened.oldRoot;
    const dpatch_TStreamInput* oldStream = nullptr;
    QVERIFY(TDirPatcher_loadDirData(patcher, nullptr, oldRoot.constData(), "new"));
    QCOMPARE(QByteArray(TDirPatcher_getOldPathByIndex(patcher, 1)), oldRoot + "/a.bin");
    QCOMPARE(QByteArray(TDirPatcher_getOldPathBySameIndex(patcher, 0)), oldRoot + "/same.bin");
    QCOMPARE(QByteArray(TNewDir_getNewPathBySameIndex(&patcher->_newDir, 0)), QByteArray("new/copy.bin"));
    QCOMPARE(QByteArray(TDirPatcher_getOldPathByNewPath(patcher, TNewDir_getNewPathByIndex(&patcher->_newDir, 3))),
             oldRoot + "/same.bin");
    QVERIFY(TDirPatcher_openOldRefStream(patcher, 24, &oldStream));
    QVERIFY(TDirPatcher_closeOldRefStream(patcher));
    StderrCapture capture;
    QVERIFY(!TDirPatcher_getOldPathByIndex(patcher, 0));
    QVERIFY(capture.take().contains("check strLen+1<=(size_t)(out_pathBufEnd-out_path) error!"));
    QVERIFY(opened.close());
}

void TestDirPatcher::sameFileReferenceCounts()
{
    const QByteArray shared = "shared bytes";
    OpenedPatcher opened({{"shared", FileTree::file(shared)}},
                         {{"x", FileTree::file(shared)}, {"y", FileTree::file(shared)}, {"z", FileTree::file(shared)}});
    QVERIFY(opened.ok);
    QVERIFY(TDirPatcher_loadDirData(&opened.patcher, nullptr, "old", "new"));
    QVERIFY(TDirPatcher_initOldSameRefCount(&opened.patcher));
    QCOMPARE(TDirPatcher_oldSameRefCount(&opened.patcher, 0), 3u);
    TDirPatcher_decOldSameRefCount(&opened.patcher, 1);
    QCOMPARE(TDirPatcher_oldSameRefCount(&opened.patcher, 2), 2u);
    TDirPatcher_finishOldSameRefCount(&opened.patcher);
    QVERIFY(opened.close());
}

QTEST_GUILESS_MAIN(TestDirPatcher)
#include "TestDirPatcher.moc"
