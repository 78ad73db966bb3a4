// runDirPatch from an old tree to a new tree on disk, one table of runs. Every row checks the result
// code, the error lines and notes, the new tree byte for byte with owner-execute bits, that the old tree and
// everything beside the output are untouched, that no descriptor is left open, that patchFinish ran
// once, and that the progress reported adds up to the total announced.

#include "patch/dir/dir_patcher.h"
#include "patch/drivers/dir_patch_driver.h"
#include "patch/os/file_services.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/PatchWriter.h"
#include "support/RandomBytes.h"
#include "support/StderrCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <functional>
#include <optional>
#include <unistd.h>

namespace
{
using Entries = FileTree::Entries;
const size_t kLauncherCache = 512u * 1024 * 1024;
const size_t kLauncherOpenFiles = 24;

// The launcher's callbacks, plus what the rows observe and the failures they inject.
struct RecordingListener
{
    TDirPatchListener base;
    quint64 total = 0;
    quint64 progressSum = 0;
    int progressCalls = 0;
    QString watchedOldRoot;
    int maxOpenOld = 0;
    QByteArray failSlot;
    int failAt = 1;
    int slotCalls = 0;
    int patchFinishCalls = 0;
    int lastFinishSuccess = -1;
    QByteArray removeAfterClose; // ends of new paths to delete right after their file is closed

    bool fails(const char* slot) { return failSlot == slot && ++slotCalls == failAt; }
};

RecordingListener* recorder(TDirPatchListener* listener)
{
    return reinterpret_cast<RecordingListener*>(listener);
}

void onSetProgressTotal(TDirPatchListener* listener, dpatch_StreamPos_t total)
{
    recorder(listener)->total = total;
}

void onAddProgress(TDirPatchListener* listener, dpatch_StreamPos_t bytes)
{
    RecordingListener* self = recorder(listener);
    self->progressSum += bytes;
    ++self->progressCalls;
    if (!self->watchedOldRoot.isEmpty())
        self->maxOpenOld = qMax(self->maxOpenOld, FileTree::openDescriptorsBelow(self->watchedOldRoot));
}

BOOL onMakeNewDir(TDirPatchListener* listener, const char* pathName)
{
    return !recorder(listener)->fails("makeNewDir") && dpatch_makeDir(pathName);
}

BOOL onCopySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                    dpatch_TCopyListener* copyListener)
{
    return !recorder(listener)->fails("copySameFile") && dpatch_copyFile(oldFileName, newFileName, copyListener);
}

BOOL onOpenNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
                   dpatch_StreamPos_t fileSize)
{
    return !recorder(listener)->fails("openNewFile") &&
           dpatch_TFileStreamOutput_open(curNewFile, newFileName, fileSize);
}

BOOL onCloseNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile)
{
    RecordingListener* self = recorder(listener);
    if (self->fails("closeNewFile"))
        return 0;
    return dpatch_TFileStreamOutput_close(curNewFile);
}

BOOL onPatchBegin(TDirPatchListener* listener, TDirPatcher* dirPatcher)
{
    listener->dirPatcher = dirPatcher;
    return !recorder(listener)->fails("patchBegin");
}

BOOL onPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess)
{
    RecordingListener* self = recorder(listener);
    ++self->patchFinishCalls;
    self->lastFinishSuccess = isPatchSuccess;
    if (isPatchSuccess && !self->removeAfterClose.isEmpty()) {
        // a new file that vanished before its execute bits are set
        const QByteArray path = self->removeAfterClose;
        QFile::remove(QString::fromUtf8(path));
    }
    const BOOL result = defaultDirPatchListener.patchFinish(listener, isPatchSuccess);
    return self->fails("patchFinish") ? 0 : result;
}

void initListener(RecordingListener* listener)
{
    listener->base = TDirPatchListener{nullptr,      nullptr,        onSetProgressTotal, onAddProgress,
                                       onMakeNewDir, onCopySameFile, onOpenNewFile,      onCloseNewFile,
                                       nullptr,      onPatchBegin,   onPatchFinish};
}

// The driver's notes go to standard output; rows that check them read it back from a file.
class StdoutToFile
{
public:
    StdoutToFile()
    {
        fflush(stdout);
        file = tmpfile();
        saved = dup(STDOUT_FILENO);
        dup2(fileno(file), STDOUT_FILENO);
    }
    QByteArray finish()
    {
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        QByteArray text;
        rewind(file);
        char buffer[4096];
        size_t got = 0;
        while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
            text.append(buffer, qsizetype(got));
        fclose(file);
        return text;
    }

private:
    FILE* file = nullptr;
    int saved = -1;
};

// One run: the trees, how the diff is built and broken, the arguments, and what must come out.
struct Run
{
    QString sandbox;
    QString oldDir;
    QString newDir;
    QString diffPath;
    Entries oldTree;
    Entries newTree;
    bool makeOldDir = true;
    DirDiffWriter::Options options;
    std::function<void(DirDiff&)> mutate;
    std::function<QByteArray(const QByteArray&)> mutateBytes;
    std::function<void(Run&)> beforeRun;

    std::optional<QByteArray> oldArg;
    std::optional<QByteArray> diffArg;
    bool loadOldAll = false;
    size_t cacheSize = kLauncherCache;
    size_t maxOpenFiles = kLauncherOpenFiles;
    TChecksumSet checksumSet = {};
    dpatch_StreamPos_t diffOffset = 0;
    dpatch_StreamPos_t diffSize = 0;
    QByteArray failSlot;
    int failAt = 1;
    QByteArray removeAfterClose; // relative new path

    int code = DPATCH_SUCCESS;
    QList<QByteArray> errLines;
    QList<QByteArray> notes;            // texts the notes must contain
    std::optional<Entries> expectedNew; // default: the new tree on success, nothing checked otherwise
    int maxOpenOld = -1;
    bool expectNoProgress = false;
};

using Prepare = void (*)(Run&);

// A small tree with a bit of everything: nested directories, a changed file, a copy, a deleted file.
Entries baseOld()
{
    return {{"bin/", FileTree::dir()},
            {"bin/game", FileTree::file(randomBytes(3000, 1), true)},
            {"data/", FileTree::dir()},
            {"data/a.pak", FileTree::file(randomBytes(5000, 2))},
            {"data/b.pak", FileTree::file(randomBytes(4000, 3))},
            {"data/old.txt", FileTree::file("going away\n")},
            {"readme.txt", FileTree::file("version 1\n")}};
}

Entries baseNew()
{
    const QByteArray a = randomBytes(5000, 2);
    const QByteArray b = randomBytes(4000, 3);
    QByteArray changedA = a;
    changedA.replace(100, 20, "twenty changed bytes");
    changedA.append("appended tail");
    return {{"bin/", FileTree::dir()},
            {"bin/game", FileTree::file(randomBytes(3000, 1), true)},
            {"data/", FileTree::dir()},
            {"data/a.pak", FileTree::file(changedA)},
            // parts of both old files, in the other order
            {"data/mix.pak", FileTree::file(b.mid(1000, 2000) + "glue" + a.mid(3000, 1500))},
            {"data/b.pak", FileTree::file(b)},
            {"readme.txt", FileTree::file("version 2\n")}};
}

void useBase(Run& run)
{
    run.oldTree = baseOld();
    run.newTree = baseNew();
}

// ---- successful runs ----

void identicalTrees(Run& run)
{
    run.oldTree = baseOld();
    run.newTree = baseOld();
    run.expectNoProgress = true;
}

void changedFilesCoversAcrossFiles(Run& run)
{
    useBase(run);
}

void fullInstallFromEmptyOldDir(Run& run)
{
    run.newTree = baseNew();
}

void emptyFilesDirsAndDeletions(Run& run)
{
    run.oldTree = baseOld();
    run.newTree = {{"empty/", FileTree::dir()},
                   {"nested/", FileTree::dir()},
                   {"nested/deeper/", FileTree::dir()},
                   {"nested/deeper/deepest/", FileTree::dir()},
                   {"nested/deeper/zero.bin", FileTree::file("")},
                   {"zero.txt", FileTree::file("")},
                   {"readme.txt", FileTree::file("version 1\n")}};
}

void executeBitsOnChangedCopiedAndNew(Run& run)
{
    run.oldTree = baseOld();
    run.newTree = baseNew();
    run.newTree["bin/game"].executable = true;                         // copied
    run.newTree["data/a.pak"].executable = true;                       // changed
    run.newTree["bin/new-tool"] = FileTree::file("#!/bin/sh\n", true); // new
    run.newTree["bin/empty-tool"] = FileTree::file("", true);          // new and empty
}

void oneOldFileCopiedToThreeNames(Run& run)
{
    const QByteArray shared = randomBytes(2500, 9);
    run.oldTree = {{"shared.bin", FileTree::file(shared)}};
    run.newTree = {{"a/", FileTree::dir()},
                   {"a/one.bin", FileTree::file(shared)},
                   {"b/two.bin", FileTree::file(shared, true)},
                   {"b/", FileTree::dir()},
                   {"three.bin", FileTree::file(shared)}};
}

void emptyReferenceFile(Run& run)
{
    useBase(run);
    run.newTree["data/zero-ref"] = FileTree::file("");
    run.mutate = [](DirDiff& diff) {
        // list the empty file as a new reference file of size 0: it takes no bytes from the patch
        const quint64 index = quint64(diff.newPaths.indexOf("data/zero-ref"));
        qsizetype at = 0;
        while (at < diff.newRefList.size() && diff.newRefList[at] < index)
            ++at;
        diff.newRefList.insert(at, index);
        diff.newRefSizeList.insert(at, 0);
        diff.updateHead();
    };
}

Entries manyOldFiles()
{
    Entries tree;
    for (int i = 0; i < 60; ++i)
        tree[QString("files/f%1.dat").arg(i, 2, 10, QChar('0'))] = FileTree::file(randomBytes(1500, 100 + i));
    tree["files/"] = FileTree::dir();
    return tree;
}

void sixtyOldFilesUnderEightOpenFiles(Run& run)
{
    run.oldTree = manyOldFiles();
    // each new file takes pieces of old files far apart in the old data, so reads jump between files
    QByteArray joined;
    for (int i = 0; i < 60; ++i)
        joined += randomBytes(1500, 100 + i);
    for (int i = 0; i < 20; ++i) {
        QByteArray content;
        for (int k = 0; k < 4; ++k)
            content += joined.mid(((i * 37 + k * 23) % 59) * 1500 + 100, 700) + char('a' + k);
        run.newTree[QString("out/n%1.dat").arg(i)] = FileTree::file(content);
    }
    run.newTree["out/"] = FileTree::dir();
    run.cacheSize = 0;
    run.maxOpenFiles = 8;
    run.maxOpenOld = 8 - 2;
}

Entries largeOld()
{
    Entries tree;
    for (int i = 0; i < 4; ++i)
        tree[QString("big%1.bin").arg(i)] = FileTree::file(randomBytes(512 * 1024, 200 + i));
    return tree;
}

Entries largeNew()
{
    QByteArray joined;
    for (int i = 0; i < 4; ++i)
        joined += randomBytes(512 * 1024, 200 + i);
    Entries tree;
    tree["big0.bin"] = FileTree::file(joined.mid(600 * 1024, 400 * 1024) + "x" + joined.mid(10, 100 * 1024));
    tree["big1.bin"] = FileTree::file(joined.mid(1500 * 1024, 500 * 1024) + randomBytes(3000, 77));
    QByteArray many;
    for (int k = 0; k < 300; ++k)
        many += joined.mid((k * 7919) % (2000 * 1024), 300) + char(k);
    tree["small-covers.bin"] = FileTree::file(many);
    return tree;
}

void streamingCache(Run& run)
{
    run.oldTree = largeOld();
    run.newTree = largeNew();
    run.cacheSize = 32 * 1024;
}

void coversInMemoryCache(Run& run)
{
    run.oldTree = largeOld();
    run.newTree = largeNew();
    run.cacheSize = 1536 * 1024;
}

void wholeOldDataCache(Run& run)
{
    run.oldTree = largeOld();
    run.newTree = largeNew();
    run.cacheSize = kLauncherCache;
    run.maxOpenOld = 4 - 2; // the cache holds all old data
}

void loadOldAll(Run& run)
{
    run.oldTree = largeOld();
    run.newTree = largeNew();
    run.loadOldAll = true;
    run.cacheSize = 0;
}

void dirDataRawSectionsRaw(Run& run)
{
    useBase(run);
}

void dirDataZstdSectionsRaw(Run& run)
{
    useBase(run);
    run.options.compressDirData = true;
}

void dirDataRawSectionsZstd(Run& run)
{
    useBase(run);
    run.options.compressSections = true;
}

void dirDataZstdSectionsZstd(Run& run)
{
    useBase(run);
    run.options.compressDirData = true;
    run.options.compressSections = true;
    run.notes = {"\ndirpatch run with decompress plugin: \"zstd\" (need decompress 5)\n",
                 "\nDirPatch new path count: 8 (fileCount:5)\n    copy from old count: 2 (dataSize: 7000)\n"
                 "     ref old file count: 3\n     ref new file count: 3\noldRefSize  : 5021\n"};
}

void uselessCompressTag(Run& run)
{
    useBase(run);
    run.options.compressType = QByteArray("lzma");
    run.notes = {"\n  diffFile added useless compress tag \"lzma\"\n"};
}

void checksumWantedButNoneStored(Run& run)
{
    useBase(run);
    run.checksumSet.isCheck_newRefData = 1;
    run.checksumSet.isCheck_copyFileData = 1;
    run.notes = {"\n  NOTE: no checksum saved in diffFile,can not do checksum\n"};
}

void diffInsideLargerFile(Run& run)
{
    useBase(run);
    run.mutateBytes = [&run](const QByteArray& diff) {
        run.diffOffset = 333;
        run.diffSize = dpatch_StreamPos_t(diff.size());
        return QByteArray(333, 'S') + diff + QByteArray(50, 'T');
    };
}

// ---- failures ----

// A run refused before anything is written into the new directory.
void failsBeforeWriting(Run& run, int code, const QList<QByteArray>& errLines)
{
    run.code = code;
    run.errLines = errLines;
    run.expectedNew = Entries();
}

void missingDiffFile(Run& run)
{
    useBase(run);
    run.diffArg = QByteArray("no-such.diff");
    failsBeforeWriting(run, DPATCH_OPENREAD_ERROR, {"open diffFile for read ERROR!"});
}

void missingOldDir(Run& run)
{
    useBase(run);
    run.beforeRun = [](Run& r) {
        QDir(r.oldDir).removeRecursively();
        r.oldTree.clear();
    };
    failsBeforeWriting(run, DPATCH_PATHTYPE_ERROR, {"oldPath not exist ERROR!"});
}

void oldFileWhereDirWanted(Run& run)
{
    useBase(run);
    run.oldArg = QByteArray("patch.diff"); // a regular file
    failsBeforeWriting(run, DPATCH_PATHTYPE_ERROR, {"input old path need dir ERROR!"});
}

void emptyOldPathForDirDiff(Run& run)
{
    useBase(run);
    run.oldArg = QByteArray("");
    failsBeforeWriting(run, DPATCH_PATHTYPE_ERROR, {"input old path need dir ERROR!"});
}

void compressedDiffOfAnotherFormat(Run& run)
{
    useBase(run);
    run.mutateBytes = [](const QByteArray&) {
        PatchCase patchCase;
        patchCase.oldData = "old";
        patchCase.newData = "new";
        return PatchWriter::compressedDiff(patchCase).bytes();
    };
    failsBeforeWriting(run, DIRPATCH_DIRDIFFINFO_ERROR, {"is diff file? get dir diff info ERROR!"});
}

void oldSideFlagTwo(Run& run)
{
    useBase(run);
    run.mutate = [](DirDiff& diff) { diff.isOldPathDir = 2; };
    failsBeforeWriting(run, DIRPATCH_DIRDIFFINFO_ERROR,
                       {"check savedValue<=1 error!", "is diff file? get dir diff info ERROR!"});
}

void oldRefSizeOffByOne(Run& run)
{
    useBase(run);
    run.mutate = [](DirDiff& diff) { diff.oldRefSize += 1; };
    failsBeforeWriting(
        run, DIRPATCH_DIRDIFFINFO_ERROR,
        {"check savedOldRefSize==out_info->cdiffInfo.oldDataSize error!", "is diff file? get dir diff info ERROR!"});
}

void truncatedInHead(Run& run)
{
    useBase(run);
    run.mutateBytes = [](const QByteArray& diff) { return diff.left(30); };
    failsBeforeWriting(run, DIRPATCH_DIRDIFFINFO_ERROR, {"is diff file? get dir diff info ERROR!"});
}

void truncatedLastByte(Run& run)
{
    useBase(run);
    run.mutateBytes = [](const QByteArray& diff) { return diff.left(diff.size() - 1); };
    run.code = DIRPATCH_PATCH_ERROR;
    run.errLines = {"dir patch run ERROR!"};
}

void trailingByte(Run& run)
{
    useBase(run);
    run.mutateBytes = [](const QByteArray& diff) { return diff + 'X'; };
    run.code = DIRPATCH_PATCH_ERROR;
    run.errLines = {"dir patch run ERROR!"};
}

void newPathCountOneMore(Run& run)
{
    useBase(run);
    run.mutate = [](DirDiff& diff) { diff.newPathCount += 1; };
    failsBeforeWriting(run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR, {"load dir data in diffFile ERROR!"});
}

void reservedDataOneByteShort(Run& run)
{
    useBase(run);
    run.mutate = [](DirDiff& diff) {
        diff.privateReservedData = "abc";
        diff.updateHead();
        diff.privateReservedDataSize = 2;
    };
    failsBeforeWriting(
        run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR,
        {"check _TStreamCacheClip_streamSize(&headStream)==self->dirDiffHead.privateReservedDataSize error!",
         "load dir data in diffFile ERROR!"});
}

void countsBeyondDirData(Run& run)
{
    useBase(run);
    // a hostile head: counts no directory data of this size can hold, which must not size an allocation
    run.mutate = [](DirDiff& diff) { diff.sameFilePairCount = quint64(1) << 60; };
    failsBeforeWriting(run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR,
                       {"check _dirDataCountsFit(head) error!", "load dir data in diffFile ERROR!"});
}

void compressedDirDataClaimsMore(Run& run)
{
    useBase(run);
    run.options.compressDirData = true;
    // a claim within the memory limit: the data is decoded and found short
    run.mutate = [](DirDiff& diff) { diff.headDataSize += 4096; };
    failsBeforeWriting(
        run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR,
        {"check _dirDataDecodesToSize(self,decompressPlugin) error!", "load dir data in diffFile ERROR!"});
}

void compressedDirDataClaimsBeyondLimit(Run& run)
{
    useBase(run);
    run.options.compressDirData = true;
    // 1 TiB of claimed directory data is refused before a byte of it is decoded
    run.mutate = [](DirDiff& diff) { diff.headDataSize = quint64(1) << 40; };
    failsBeforeWriting(run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR,
                       {"check _dirDataFitsMemLimit(self) error!", "load dir data in diffFile ERROR!"});
}

void unknownCompressTypeForSections(Run& run)
{
    useBase(run);
    run.options.compressSections = true;
    run.options.compressType = QByteArray("lzma");
    // the embedded diff names its own type; keep the two in step so only the plugin lookup fails
    run.mutate = [](DirDiff& diff) { diff.cdiff.replace(QByteArray("HDIFF13&zstd"), QByteArray("HDIFF13&lzma")); };
    failsBeforeWriting(run, DPATCH_COMPRESSTYPE_ERROR, {"can not decompress \"lzma\" data ERROR!"});
}

void compressedDirDataWithoutType(Run& run)
{
    useBase(run);
    run.options.compressDirData = true;
    run.options.compressType = QByteArray("");
    failsBeforeWriting(run, DPATCH_COMPRESSTYPE_ERROR, {"can not decompress \"\" data ERROR!"});
}

void checksumTypeWithoutPlugin(Run& run)
{
    useBase(run);
    run.options.checksumType = "crc32";
    run.options.checksum = [](const QByteArray& data) {
        QByteArray sum(4, '\0');
        for (qsizetype i = 0; i < data.size(); ++i)
            sum[i % 4] = char(sum[i % 4] ^ data[i]);
        return sum;
    };
    run.checksumSet.isCheck_diffData = 1;
    failsBeforeWriting(run, DIRPATCH_CHECKSUMTYPE_ERROR, {"not found checksumType \"crc32\" ERROR!"});
}

void missingOldReferenceFile(Run& run)
{
    useBase(run);
    run.beforeRun = [](Run& r) {
        QFile::remove(r.oldDir + "/data/a.pak");
        r.oldTree.remove("data/a.pak");
    };
    failsBeforeWriting(run, DIRPATCH_OPEN_OLDPATH_ERROR,
                       {"check oldPathType==kPathType_file error!", "open oldFile ERROR!"});
}

void resizedOldReferenceFile(Run& run)
{
    useBase(run);
    run.beforeRun = [](Run& r) {
        QFile file(r.oldDir + "/data/a.pak");
        QVERIFY(file.open(QIODevice::Append));
        file.write("!");
        file.close();
        r.oldTree["data/a.pak"].content += "!";
    };
    failsBeforeWriting(run, DIRPATCH_OPEN_OLDPATH_ERROR,
                       {"check sumFSize==self->dirDiffInfo.cdiffInfo.oldDataSize error!", "open oldFile ERROR!"});
}

void newRefSizesBeyondNewData(Run& run)
{
    useBase(run);
    run.mutate = [](DirDiff& diff) {
        diff.newRefSizeList.last() += 1;
        diff.updateHead();
    };
    failsBeforeWriting(run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR,
                       {"check _newRefSizesFitNewData(self) error!", "load dir data in diffFile ERROR!"});
}

void newRefSizesShortOfNewData(Run& run)
{
    useBase(run);
    run.mutate = [](DirDiff& diff) {
        diff.newRefSizeList.last() -= 1;
        diff.updateHead();
    };
    run.code = DIRPATCH_PATCH_ERROR;
    run.errLines = {"check !self->isFinish error!", "dir patch run ERROR!"};
}

void patchBeginFails(Run& run)
{
    useBase(run);
    run.failSlot = "patchBegin";
    failsBeforeWriting(run, DIRPATCH_PATCHBEGIN_ERROR, {"dir patch begin ERROR!"});
}

void patchFinishFailsAfterSuccess(Run& run)
{
    useBase(run);
    run.failSlot = "patchFinish";
    run.code = DIRPATCH_PATCHFINISH_ERROR;
    run.errLines = {"dir patch finish ERROR!"};
    run.expectedNew = baseNew(); // every file complete
}

void listenerFails(Run& run, const char* slot, int failAt, int code, const QList<QByteArray>& errLines)
{
    useBase(run);
    run.failSlot = slot;
    run.failAt = failAt;
    run.code = code;
    run.errLines = errLines;
}

void makeNewDirFails(Run& run)
{
    // the directories before the first data are made when the new directory opens
    listenerFails(run, "makeNewDir", 2, DIRPATCH_OPEN_NEWPATH_ERROR,
                  {"check self->_listener->makeNewDir(self->_listener,pathName) error!", "open newFile ERROR!"});
}

void copySameFileFails(Run& run)
{
    listenerFails(run, "copySameFile", 2, DIRPATCH_PATCH_ERROR, {"dir patch run ERROR!"});
}

void openNewFileFails(Run& run)
{
    listenerFails(run, "openNewFile", 2, DIRPATCH_PATCH_ERROR, {"dir patch run ERROR!"});
}

void closeNewFileFails(Run& run)
{
    listenerFails(
        run, "closeNewFile", 1, DIRPATCH_PATCH_ERROR,
        {"check self->_listener->closeNewFile(self->_listener,self->_curNewFile) error!", "dir patch run ERROR!"});
}

void executeBitCantBeSet(Run& run)
{
    useBase(run);
    run.newTree["bin/tool"] = FileTree::file("#!/bin/sh\n", true);
    run.removeAfterClose = "bin/tool";
    run.notes = {"WARNING: can't set Execute tag to new file \"", "/new/bin/tool\"\n"};
    run.code = DIRPATCH_PATCHFINISH_ERROR;
    run.errLines = {"dir patch finish ERROR!"};
    Entries expected = run.newTree;
    expected.remove("bin/tool");
    run.expectedNew = expected;
}

void diffWindowStartsPastEnd(Run& run)
{
    useBase(run);
    run.diffOffset = 1 << 20;
    failsBeforeWriting(run, DPATCH_SFX_DIFFDATA_ERROR, {"readed sfx diffFile offset ERROR!"});
}

void diffWindowRunsPastEnd(Run& run)
{
    useBase(run);
    run.diffOffset = 10;
    run.diffSize = 1 << 20;
    failsBeforeWriting(run, DPATCH_SFX_DIFFDATA_ERROR, {"readed sfx diffFile size ERROR!"});
}

// Hostile paths: each must be refused while loading, before anything is read, written or chmod-ed.
void hostileNewPath(Run& run, const QByteArray& path)
{
    useBase(run);
    run.mutate = [path](DirDiff& diff) {
        const qsizetype index = diff.newPaths.indexOf("readme.txt");
        diff.newPaths[index] = path;
        diff.updateHead();
    };
    failsBeforeWriting(
        run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR,
        {"refused path \"" + path + "\" in directory data: it leaves its root", "load dir data in diffFile ERROR!"});
}

void newPathDotDot(Run& run)
{
    hostileNewPath(run, "../escaped.txt");
}

void newPathDotDotInside(Run& run)
{
    hostileNewPath(run, "data/../../escaped.txt");
}

void newPathAbsolute(Run& run)
{
    hostileNewPath(run, "/tmp/escaped.txt");
}

void newPathEmptyComponent(Run& run)
{
    hostileNewPath(run, "data//x.txt");
}

void newPathDotComponent(Run& run)
{
    hostileNewPath(run, "./x.txt");
}

void newDirPathDotDot(Run& run)
{
    hostileNewPath(run, "../");
}

void oldPathDotDot(Run& run)
{
    useBase(run);
    // a copy whose source lies outside the old root
    run.mutate = [](DirDiff& diff) {
        diff.oldPaths.append("../patch.diff");
        diff.samePairs.append({quint64(diff.newPaths.indexOf("readme.txt")), quint64(diff.oldPaths.size() - 1)});
        std::sort(diff.samePairs.begin(), diff.samePairs.end());
        const qsizetype ref = diff.newRefList.indexOf(quint64(diff.newPaths.indexOf("readme.txt")));
        diff.newRefList.removeAt(ref);
        diff.newRefSizeList.removeAt(ref);
        diff.updateHead();
    };
    failsBeforeWriting(
        run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR,
        {"refused path \"../patch.diff\" in directory data: it leaves its root", "load dir data in diffFile ERROR!"});
}

void fileSideWithMoreEntries(Run& run)
{
    useBase(run);
    // a single-file new side appends its entries to the output path itself: "new" + "bin/" is a sibling
    run.mutate = [](DirDiff& diff) { diff.isNewPathDir = 0; };
    failsBeforeWriting(
        run, DIRPATCH_LAOD_DIRDIFFDATA_ERROR,
        {"refused path \"bin/\" in directory data: it leaves its root", "load dir data in diffFile ERROR!"});
}

struct Row
{
    const char* name;
    Prepare prepare;
};

const Row kRows[] = {
    {"identical trees: only copies, no progress", identicalTrees},
    {"changed files, covers across permuted old files", changedFilesCoversAcrossFiles},
    {"full install from an empty old directory", fullInstallFromEmptyOldDir},
    {"empty files, empty and nested directories, deleted files", emptyFilesDirsAndDeletions},
    {"execute bits on changed, copied and new files", executeBitsOnChangedCopiedAndNew},
    {"one old file copied to three new names", oneOldFileCopiedToThreeNames},
    {"empty new reference file", emptyReferenceFile},
    {"60 old files streamed under an open-file limit of 8", sixtyOldFilesUnderEightOpenFiles},
    {"memory plan: streaming", streamingCache},
    {"memory plan: covers in memory", coversInMemoryCache},
    {"memory plan: whole old data", wholeOldDataCache},
    {"memory plan: load all old data", loadOldAll},
    {"directory data raw, sections raw", dirDataRawSectionsRaw},
    {"directory data zstd, sections raw", dirDataZstdSectionsRaw},
    {"directory data raw, sections zstd", dirDataRawSectionsZstd},
    {"directory data zstd, sections zstd", dirDataZstdSectionsZstd},
    {"unknown compress type on raw data is ignored", uselessCompressTag},
    {"checks asked for, none stored: checks dropped", checksumWantedButNoneStored},
    {"diff window inside a larger file", diffInsideLargerFile},
    {"missing diff file", missingDiffFile},
    {"missing old directory", missingOldDir},
    {"old file where the diff wants a directory", oldFileWhereDirWanted},
    {"empty old path for a directory diff", emptyOldPathForDirDiff},
    {"compressed diff of another format", compressedDiffOfAnotherFormat},
    {"old side flag 2", oldSideFlagTwo},
    {"old reference size off by one", oldRefSizeOffByOne},
    {"truncated in the head", truncatedInHead},
    {"truncated by its last byte", truncatedLastByte},
    {"one byte too many", trailingByte},
    {"new path count one more", newPathCountOneMore},
    {"reserved data one byte short", reservedDataOneByteShort},
    {"counts beyond the directory data", countsBeyondDirData},
    {"compressed directory data claims more than it holds", compressedDirDataClaimsMore},
    {"compressed directory data claims more than the memory limit", compressedDirDataClaimsBeyondLimit},
    {"unknown compress type for compressed sections", unknownCompressTypeForSections},
    {"compressed directory data without a compress type", compressedDirDataWithoutType},
    {"checksum type stored but no checksum plugin", checksumTypeWithoutPlugin},
    {"missing old reference file", missingOldReferenceFile},
    {"resized old reference file", resizedOldReferenceFile},
    {"new reference sizes beyond the new data", newRefSizesBeyondNewData},
    {"new reference sizes short of the new data", newRefSizesShortOfNewData},
    {"patchBegin fails", patchBeginFails},
    {"patchFinish fails after success", patchFinishFailsAfterSuccess},
    {"makeNewDir fails", makeNewDirFails},
    {"copySameFile fails", copySameFileFails},
    {"openNewFile fails", openNewFileFails},
    {"closeNewFile fails", closeNewFileFails},
    {"execute bit can't be set", executeBitCantBeSet},
    {"diff window starts past the end", diffWindowStartsPastEnd},
    {"diff window runs past the end", diffWindowRunsPastEnd},
    {"hostile new path: ..", newPathDotDot},
    {"hostile new path: .. inside", newPathDotDotInside},
    {"hostile new path: absolute", newPathAbsolute},
    {"hostile new path: empty component", newPathEmptyComponent},
    {"hostile new path: . component", newPathDotComponent},
    {"hostile new directory: ../", newDirPathDotDot},
    {"hostile old path: ..", oldPathDotDot},
    {"single-file new side with more entries", fileSideWithMoreEntries},
};

Entries withoutBelow(const Entries& entries, const QString& prefix)
{
    Entries rest;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        if (!it.key().startsWith(prefix))
            rest.insert(it.key(), it.value());
    }
    return rest;
}

// QCOMPARE on whole maps says only that they differ; this names the first differing path.
QString treeDifference(const Entries& actual, const Entries& expected)
{
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        if (!actual.contains(it.key()))
            return "missing " + it.key();
        if (actual.value(it.key()) != it.value())
            return "differs " + it.key();
    }
    for (auto it = actual.constBegin(); it != actual.constEnd(); ++it) {
        if (!expected.contains(it.key()))
            return "unexpected " + it.key();
    }
    return QString();
}
} // namespace

class TestDirPatch : public QObject
{
    Q_OBJECT
private slots:
    void runDirPatch_data();
    void runDirPatch();
    void defaultListenerWritesTheTree();
};

void TestDirPatch::runDirPatch_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(sizeof(kRows) / sizeof(kRows[0])); ++i)
        QTest::newRow(kRows[i].name) << i;
}

void TestDirPatch::runDirPatch()
{
    QFETCH(int, row);
    QTemporaryDir sandboxDir;
    QTemporaryDir sourceDir;
    QVERIFY(sandboxDir.isValid() && sourceDir.isValid());
    Run run;
    run.sandbox = sandboxDir.path();
    run.oldDir = run.sandbox + "/old";
    run.newDir = run.sandbox + "/new";
    run.diffPath = run.sandbox + "/patch.diff";
    kRows[row].prepare(run);

    QVERIFY(FileTree::write(run.oldDir, run.oldTree));
    const QString newSource = sourceDir.path() + "/new";
    QVERIFY(FileTree::write(newSource, run.newTree));
    DirDiff diff = DirDiffWriter::build(run.oldDir, newSource, run.options);
    if (run.mutate)
        run.mutate(diff);
    QByteArray diffBytes = diff.toBytes();
    if (run.mutateBytes)
        diffBytes = run.mutateBytes(diffBytes);
    {
        QFile file(run.diffPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(diffBytes), diffBytes.size());
    }
    if (run.beforeRun)
        run.beforeRun(run);
    const Entries sandboxBefore = FileTree::read(run.sandbox);
    const Entries oldBefore = FileTree::read(run.oldDir);
    QCOMPARE(treeDifference(oldBefore, run.oldTree), QString());

    RecordingListener listener;
    initListener(&listener);
    listener.failSlot = run.failSlot;
    listener.failAt = run.failAt;
    if (run.maxOpenOld >= 0)
        listener.watchedOldRoot = run.oldDir;
    if (!run.removeAfterClose.isEmpty())
        listener.removeAfterClose = (run.newDir + '/' + run.removeAfterClose).toUtf8();
    const QByteArray oldArg = run.oldArg
                                  ? (run.oldArg->isEmpty() ? QByteArray() : run.sandbox.toUtf8() + '/' + *run.oldArg)
                                  : run.oldDir.toUtf8();
    const QByteArray diffArg = run.diffArg ? run.sandbox.toUtf8() + '/' + *run.diffArg : run.diffPath.toUtf8();
    const QByteArray newArg = run.newDir.toUtf8();

    StderrCapture capture;
    StdoutToFile notesCapture;
    const int descriptorsBefore = FileTree::openDescriptorCount();
    const int code =
        ::runDirPatch(oldArg.constData(), diffArg.constData(), newArg.constData(), run.loadOldAll, run.cacheSize,
                      run.maxOpenFiles, &run.checksumSet, &listener.base, run.diffOffset, run.diffSize);
    const int descriptorsAfter = FileTree::openDescriptorCount();
    const QByteArray errText = capture.take();
    const QByteArray notes = notesCapture.finish();
    const QList<QByteArray> errLines = errText.split('\n');

    QVERIFY2(
        code == run.code,
        qPrintable(QString("code %1, wanted %2; errors:\n%3").arg(code).arg(run.code).arg(QString::fromUtf8(errText))));
    for (const QByteArray& line : run.errLines)
        QVERIFY2(errLines.contains(line), qPrintable("missing line: " + line + "\nerrors:\n" + errText));
    if (run.code == DPATCH_SUCCESS)
        QVERIFY2(errText.isEmpty(), errText.constData());
    QCOMPARE(descriptorsAfter, descriptorsBefore);
    for (const QByteArray& note : run.notes)
        QVERIFY2(notes.contains(note), qPrintable("missing note: " + note + "\nnotes:\n" + notes));
    QVERIFY2(notes.contains("\ndirpatch dir patch time: "), notes.constData()); // on every return
    if (run.code == DPATCH_SUCCESS)
        QVERIFY2(notes.startsWith("old  dir: \"" + oldArg + "/\"\ndiffFile: \"" + diffArg + "\"\nout  dir: \"" +
                                  newArg + "/\"\n"),
                 notes.constData());
    QCOMPARE(listener.patchFinishCalls, 1);
    QCOMPARE(listener.lastFinishSuccess, run.code == DPATCH_SUCCESS || run.code == DIRPATCH_PATCHFINISH_ERROR ? 1 : 0);

    QCOMPARE(treeDifference(FileTree::read(run.oldDir), oldBefore), QString());
    const Entries sandboxAfter = FileTree::read(run.sandbox);
    QCOMPARE(treeDifference(withoutBelow(sandboxAfter, "new/"), withoutBelow(sandboxBefore, "new/")), QString());

    std::optional<Entries> expectedNew = run.expectedNew;
    if (!expectedNew && run.code == DPATCH_SUCCESS)
        expectedNew = run.newTree;
    if (expectedNew)
        QCOMPARE(treeDifference(FileTree::read(run.newDir), *expectedNew), QString());

    if (run.code == DPATCH_SUCCESS || run.code == DIRPATCH_PATCHFINISH_ERROR) {
        QCOMPARE(listener.total, diff.newRefSize);
        QCOMPARE(listener.progressSum, listener.total);
    } else {
        QVERIFY(listener.progressSum <= listener.total);
    }
    if (run.expectNoProgress) {
        QCOMPARE(listener.total, quint64(0));
        QCOMPARE(listener.progressCalls, 0);
    }
    if (run.maxOpenOld >= 0) {
        QVERIFY2(listener.maxOpenOld <= run.maxOpenOld, qPrintable(QString::number(listener.maxOpenOld)));
        QVERIFY(listener.maxOpenOld >= qMin(2, run.maxOpenOld));
    }
}

void TestDirPatch::defaultListenerWritesTheTree()
{
    QTemporaryDir sandbox;
    QTemporaryDir source;
    const QString oldDir = sandbox.path() + "/old";
    const QString newDir = sandbox.path() + "/new";
    QVERIFY(FileTree::write(oldDir, baseOld()));
    Entries newTree = baseNew();
    newTree["bin/new-tool"] = FileTree::file("#!/bin/sh\n", true);
    QVERIFY(FileTree::write(source.path() + "/new", newTree));
    DirDiffWriter::Options options;
    options.compressDirData = true;
    options.compressSections = true;
    const DirDiff diff = DirDiffWriter::build(oldDir, source.path() + "/new", options);
    QVERIFY(diff.save(sandbox.path() + "/patch.diff"));
    TChecksumSet noChecks = {};
    const int code = ::runDirPatch(oldDir.toUtf8().constData(), (sandbox.path() + "/patch.diff").toUtf8().constData(),
                                   newDir.toUtf8().constData(), 0, kLauncherCache, kLauncherOpenFiles, &noChecks,
                                   &defaultDirPatchListener, 0, 0);
    QCOMPARE(code, int(DPATCH_SUCCESS));
    QCOMPARE(treeDifference(FileTree::read(newDir), newTree), QString());
}

QTEST_GUILESS_MAIN(TestDirPatch)
#include "TestDirPatch.moc"
