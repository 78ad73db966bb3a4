#include "patch/tools/patcher_command_line.h"

#include "patch/core/compressed_diff.h"
#include "patch/dir/dir_diff_format.h"
#include "patch/drivers/dir_patch_driver.h"
#include "patch/drivers/dir_patch_result.h"
#include "patch/drivers/file_patch_driver.h"
#include "patch/drivers/in_place_swap.h"
#include "patch/drivers/temp_dir_patch_listener.h"
#include "patch/os/file_services.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "patch/core/dpatch_check.h"

// The marker block of a self-extracting archive: 16 marker bytes, then the diff's offset (u32) and
// size (u64) inside the program's own file, little-endian, all ones while the program carries no diff.
// createSfx finds this block in the executable's bytes and fills it in the copy. It lives in writable
// data and is read through a volatile pointer, so neither the linker nor the optimiser can fold it away
// or duplicate its bytes elsewhere in the file.
extern "C" {
__attribute__((used)) volatile unsigned char dpatch_sfxMarkerBlock[28] = {
    0xfd, 0x6c, 0x3a, 0x9d, 0x14, 0x98, 0x4a, 0x5d, 0xa9, 0xd5, 0x73, 0x03, 0xa8, 0x2f,
    0xd0, 0x8e, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
}

namespace
{
const size_t kMarkerSize = 16;
const size_t kBlockSize = 28;
const size_t kSfxChunkSize = 64 * 1024;
const size_t kDefaultCacheSize = 64 * 1024 * 1024;
const size_t kDefaultOpenFiles = 24;
const size_t kMinOpenFiles = 8;

void printBanner()
{
    dpatch_printf("dirpatch 1.0: the patch engine's command-line patcher\n\n");
}

void printUsage()
{
    dpatch_printf("patch usage: dirpatch [options] oldPath diffFile outNewPath\n"
                  "create  SFX: dirpatch [-X-exe#selfExecuteFile] diffFile -X#outSelfExtractArchive\n"
                  "run     SFX: selfExtractArchive [[options] oldPath -X outNewPath]\n"
                  "extract SFX: selfExtractArchive      (same as: selfExtractArchive -f \"\" -X \"./\")\n"
                  "  if oldPath is empty input parameter \"\"\n"
                  "memory options:\n"
                  "  -m  oldPath all loaded into Memory;\n"
                  "      requires (oldFileSize+ 4*decompress stream size)+O(1) bytes of memory.\n"
                  "  -s[-cacheSize] \n"
                  "      DEFAULT -s-64m; oldPath loaded as Stream;\n"
                  "      requires (cacheSize+ 4*decompress stream size)+O(1) bytes of memory;\n"
                  "      cacheSize can like 262144 or 256k or 512m or 2g etc....\n"
                  "special options:\n"
                  "  -C-checksumSets\n"
                  "      set Checksum data for directory patch, DEFAULT -C-new-copy;\n"
                  "      checksumSets support (can choose multiple):\n"
                  "        -C-diff         checksum diffFile;\n"
                  "        -C-old          checksum old reference files;\n"
                  "        -C-new          checksum new files edited from old reference files;\n"
                  "        -C-copy         checksum new files copy from old same files;\n"
                  "        -C-no           no checksum;\n"
                  "        -C-all          same as: -C-diff-old-new-copy;\n"
                  "  -n-maxOpenFileNumber\n"
                  "      limit Number of open files at same time when stream directory patch;\n"
                  "      maxOpenFileNumber>=8, DEFAULT -n-24, the best limit value by different\n"
                  "        operating system.\n"
                  "  -f  Force overwrite, ignore write path already exists;\n"
                  "      DEFAULT (no -f) not overwrite and then return error;\n"
                  "      support oldPath outNewPath same path!(patch to tempPath and overwrite old)\n"
                  "      if used -f and outNewPath is exist file:\n"
                  "        if patch output file, will overwrite;\n"
                  "        if patch output directory, will always return error;\n"
                  "      if used -f and outNewPath is exist directory:\n"
                  "        if patch output file, will always return error;\n"
                  "        if patch output directory, will overwrite, but not delete\n"
                  "          needless existing files in directory.\n"
                  "  -h or -?\n"
                  "      output Help info (this usage).\n"
                  "  -v  output Version info.\n"
                  "\n");
}

// Decimal digits with an optional k, m or g (either case); no leading zero, no wrap-around.
BOOL parseSize(const char* text, dpatch_StreamPos_t* out_value)
{
    const char* p = text;
    if (*p < '0' || *p > '9')
        return 0;
    if (p[0] == '0' && p[1] >= '0' && p[1] <= '9')
        return 0;
    dpatch_StreamPos_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = (unsigned)(*p - '0');
        if (value > (~(dpatch_StreamPos_t)0 - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    unsigned shift = 0;
    switch (*p) {
    case '\0':
        break;
    case 'k':
    case 'K':
        shift = 10;
        break;
    case 'm':
    case 'M':
        shift = 20;
        break;
    case 'g':
    case 'G':
        shift = 30;
        break;
    default:
        return 0;
    }
    if (shift != 0) {
        if (p[1] != '\0' || value >= ((dpatch_StreamPos_t)1 << (64 - shift)))
            return 0;
        value <<= shift;
    }
    *out_value = value;
    return 1;
}

BOOL parseChecksumSets(const char* text, TChecksumSet* set)
{
    set->isCheck_diffData = 0;
    set->isCheck_oldRefData = 0;
    set->isCheck_newRefData = 0;
    set->isCheck_copyFileData = 0;
    for (;;) {
        const char* end = strchr(text, '-');
        const size_t length = end ? (size_t)(end - text) : strlen(text);
        if (length == 4 && strncmp(text, "diff", 4) == 0)
            set->isCheck_diffData = 1;
        else if (length == 3 && strncmp(text, "old", 3) == 0)
            set->isCheck_oldRefData = 1;
        else if (length == 3 && strncmp(text, "new", 3) == 0)
            set->isCheck_newRefData = 1;
        else if (length == 4 && strncmp(text, "copy", 4) == 0)
            set->isCheck_copyFileData = 1;
        else if (length == 3 && strncmp(text, "all", 3) == 0) {
            set->isCheck_diffData = 1;
            set->isCheck_oldRefData = 1;
            set->isCheck_newRefData = 1;
            set->isCheck_copyFileData = 1;
        } else if (length == 2 && strncmp(text, "no", 2) == 0) {
            set->isCheck_diffData = 0;
            set->isCheck_oldRefData = 0;
            set->isCheck_newRefData = 0;
            set->isCheck_copyFileData = 0;
        } else
            return 0;
        if (!end)
            return 1;
        text = end + 1;
    }
}

// Copies path without one trailing '/' into buf; 0 when it is longer than the path services allow.
BOOL stripOneSlash(const char* path, char* buf)
{
    size_t length = strlen(path);
    if (length > dpatch_kMaxPathLength)
        return 0;
    if (length > 0 && path[length - 1] == '/')
        --length;
    memcpy(buf, path, length);
    buf[length] = '\0';
    return 1;
}

// Two existing paths are the same file or directory when they lead to the same device and inode,
// however they are spelled ("old", "./old", "old/", "../x/old", a link to it, a hard link). Only
// when one of them doesn't exist yet do the spellings decide.
BOOL isSamePath(const char* a, const char* b)
{
    struct stat statA;
    struct stat statB;
    if (stat(a, &statA) == 0 && stat(b, &statB) == 0)
        return statA.st_dev == statB.st_dev && statA.st_ino == statB.st_ino;
    char bufA[dpatch_kPathBufSize];
    char bufB[dpatch_kPathBufSize];
    if (!stripOneSlash(a, bufA) || !stripOneSlash(b, bufB))
        return 0;
    return strcmp(bufA, bufB) == 0;
}

// Whether inner is the existing directory outer or lies below it, however either is spelled: the
// deepest existing part of inner is resolved, and it and its parents are compared with outer by
// device and inode.
BOOL isPathInside(const char* inner, const char* outer)
{
    struct stat outerStat;
    if (stat(outer, &outerStat) != 0 || !S_ISDIR(outerStat.st_mode))
        return 0;
    char buf[dpatch_kPathBufSize];
    if (!stripOneSlash(inner, buf))
        return 0;
    char* real = 0;
    while (!(real = realpath(buf[0] ? buf : ".", 0))) {
        char* slash = strrchr(buf, '/');
        if (!slash)
            buf[0] = '\0';
        else
            slash[slash == buf ? 1 : 0] = '\0';
    }
    BOOL isInside = 0;
    for (;;) {
        struct stat st;
        if (stat(real, &st) == 0 && st.st_dev == outerStat.st_dev && st.st_ino == outerStat.st_ino) {
            isInside = 1;
            break;
        }
        char* slash = strrchr(real, '/');
        if (!slash || strcmp(real, "/") == 0)
            break;
        slash[slash == real ? 1 : 0] = '\0';
    }
    free(real);
    return isInside;
}

BOOL getPathType(const char* path, dpatch_TPathType* out_type)
{
    char buf[dpatch_kPathBufSize];
    return stripOneSlash(path, buf) && dpatch_getPathStat(buf, out_type, 0);
}

BOOL pathStillExists(const char* path)
{
    dpatch_TPathType type = kPathType_notExist;
    return !dpatch_getPathStat(path, &type, 0) || type != kPathType_notExist;
}

void pathNote(const char* text, const char* path)
{
    dpatch_printf("%s", text);
    dpatch_printf("%s", path);
    dpatch_printf("\"\n");
}

dpatch_StreamPos_t readLittleEndian(size_t pos, size_t n)
{
    dpatch_StreamPos_t value = 0;
    for (size_t i = n; i > 0; --i)
        value = (value << 8) | dpatch_sfxMarkerBlock[pos + i - 1];
    return value;
}

void writeLittleEndian(dpatch_byte* out, dpatch_StreamPos_t value, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        out[i] = (dpatch_byte)(value >> (8 * i));
}

// The plain block as it stands in an executable that carries no diff, built at run time so that the
// program's file holds its bytes only once.
void plainBlock(dpatch_byte* out)
{
    for (size_t i = 0; i < kMarkerSize; ++i)
        out[i] = dpatch_sfxMarkerBlock[i];
    memset(out + kMarkerSize, 0xff, kBlockSize - kMarkerSize);
}

int fileInPlace(int (*run)(void* context, const char* outPath), void* context, const char* oldPath,
                const char* outNewPath)
{
    char tempPath[dpatch_kPathBufSize + 16];
    if (!getTempPathName(outNewPath, tempPath, tempPath + sizeof(tempPath))) {
        dpatch_fprintf(stderr, "getTempPathName(outNewPath) ERROR!\n");
        return DPATCH_TEMPPATH_ERROR;
    }
    dpatch_printf("NOTE: outNewPath temp file will be rename to oldPath name after patch!\n");
    const int result = run(context, tempPath);
    if (result != DPATCH_SUCCESS) {
        if (!removeFile(tempPath))
            pathNote("WARNING: can't remove temp file \"", tempPath);
        return result;
    }
    if (!removeFile(oldPath)) {
        dpatch_fprintf(stderr, "removeFile(oldPath) ERROR!\n");
        return DPATCH_DELETEPATH_ERROR;
    }
    if (!renamePath(tempPath, oldPath)) {
        dpatch_fprintf(stderr, "renamePath(temp,oldPath) ERROR!\n");
        return DPATCH_RENAMEPATH_ERROR;
    }
    dpatch_printf("outNewPath temp file renamed to oldPath name!\n");
    return DPATCH_SUCCESS;
}

struct PatchArgs
{
    const char* oldPath;
    const char* diffFile;
    BOOL loadOldAll;
    size_t cacheSize;
    size_t maxOpenFileNumber;
    TChecksumSet* checksumSet;
    dpatch_StreamPos_t diffDataOffert;
    dpatch_StreamPos_t diffDataSize;
};

int runDirInto(void* context, const char* outPath)
{
    PatchArgs* a = (PatchArgs*)context;
    return runDirPatch(a->oldPath, a->diffFile, outPath, a->loadOldAll, a->cacheSize, a->maxOpenFileNumber,
                       a->checksumSet, &defaultDirPatchListener, a->diffDataOffert, a->diffDataSize);
}

int runFileInto(void* context, const char* outPath)
{
    PatchArgs* a = (PatchArgs*)context;
    return runFilePatch(a->oldPath, a->diffFile, outPath, a->loadOldAll, a->cacheSize, a->diffDataOffert,
                        a->diffDataSize);
}

// The new tree is made beside the real old folder and swapped in only when complete; a run cut short is
// finished (or its half-made tree removed) by the next run of the same command.
int dirInPlace(PatchArgs* a)
{
    TInPlaceSwap swap;
    const TInPlaceStart start = inPlaceSwap_start(&swap, a->oldPath, a->diffFile, a->diffDataOffert, a->diffDataSize);
    if (start == kInPlaceStart_done) {
        dpatch_printf("all in outNewPath temp directory moved to oldDirectory!\n");
        return DPATCH_SUCCESS;
    }
    if (start == kInPlaceStart_noFolder) {
        dpatch_fprintf(stderr, "can not use directory overwrite oldFile ERROR!\n");
        return DPATCH_PATHTYPE_ERROR;
    }
    if (start == kInPlaceStart_refused) {
        dpatch_fprintf(stderr, "getTempPathName(outNewPath) ERROR!\n");
        return DPATCH_TEMPPATH_ERROR;
    }
    if (!inPlaceSwap_beginBuild(&swap)) {
        dpatch_fprintf(stderr, "getTempPathName(outNewPath) ERROR!\n");
        return DPATCH_TEMPPATH_ERROR;
    }
    dpatch_printf("NOTE: all in outNewPath temp directory will be move to oldDirectory after patch!\n");
    // a run that fails before patchBegin must not find a patcher of an earlier run
    tempDirPatchListener.dirPatcher = 0;
    tempDirPatchListener.userData = &swap;
    const int result =
        runDirPatch(swap.realDir, a->diffFile, swap.newDir, a->loadOldAll, a->cacheSize, a->maxOpenFileNumber,
                    a->checksumSet, &tempDirPatchListener, a->diffDataOffert, a->diffDataSize);
    tempDirPatchListener.dirPatcher = 0;
    tempDirPatchListener.userData = 0;
    if (result == DPATCH_SUCCESS) {
        dpatch_printf("all in outNewPath temp directory moved to oldDirectory!\n");
        return result;
    }
    // a run that failed before its listener was called still leaves its record
    struct stat info;
    if (lstat(swap.buildRecord, &info) == 0)
        inPlaceSwap_abandon(&swap);
    if (pathStillExists(swap.newDir))
        pathNote("WARNING: not remove temp directory \"", swap.newDir);
    return result;
}

int optionError(const char* message)
{
    dpatch_fprintf(stderr, "%s", message);
    printBanner();
    printUsage();
    return DPATCH_OPTIONS_ERROR;
}

struct Options
{
    BOOL isLoadOldAll;
    BOOL isMemoryOptionSet;
    size_t cacheSize;
    BOOL isOpenFileLimitSet;
    dpatch_StreamPos_t maxOpenFileNumber;
    BOOL isForceOverwrite;
    BOOL isOutputHelp;
    BOOL isOutputVersion;
    BOOL isRunSFX;
    const char* outSelfExtractArchive;
    const char* selfExecuteFile;
    TChecksumSet checksumSet;
    const char* positional[3];
    int positionalCount;
};

// 0 when the argument is accepted, else the option error's message.
const char* parseOption(Options* o, const char* arg)
{
    dpatch_StreamPos_t value = 0;
    switch (arg[1]) {
    case 'h':
    case '?':
        if (arg[2] != '\0' || o->isOutputHelp)
            return "options -h ERROR!\n\n";
        o->isOutputHelp = 1;
        return 0;
    case 'v':
        if (arg[2] != '\0' || o->isOutputVersion)
            return "options -v ERROR!\n\n";
        o->isOutputVersion = 1;
        return 0;
    case 'f':
        if (arg[2] != '\0' || o->isForceOverwrite)
            return "options -f ERROR!\n\n";
        o->isForceOverwrite = 1;
        return 0;
    case 'm':
        if (arg[2] != '\0' || o->isMemoryOptionSet)
            return "options -m ERROR!\n\n";
        o->isMemoryOptionSet = 1;
        o->isLoadOldAll = 1;
        return 0;
    case 's':
        if (o->isMemoryOptionSet || (arg[2] != '-' && arg[2] != '\0'))
            return "options -s ERROR!\n\n";
        o->isMemoryOptionSet = 1;
        if (arg[2] == '\0') {
            o->cacheSize = kDefaultCacheSize;
            return 0;
        }
        if (!parseSize(arg + 3, &value) || value > (dpatch_StreamPos_t)(size_t) ~(size_t)0)
            return "options -s-? ERROR!\n\n";
        o->cacheSize = (size_t)value;
        return 0;
    case 'n':
        if (o->isOpenFileLimitSet || arg[2] != '-' || !parseSize(arg + 3, &value))
            return "options -n-? ERROR!\n\n";
        o->isOpenFileLimitSet = 1;
        o->maxOpenFileNumber = value;
        return 0;
    case 'C':
        if (arg[2] != '-' || !parseChecksumSets(arg + 3, &o->checksumSet))
            return "options -C-? ERROR!\n\n";
        return 0;
    case 'X':
        if (arg[2] == '\0') {
            if (o->isRunSFX)
                return "options -X ERROR!\n\n";
            o->isRunSFX = 1;
            return 0;
        }
        if (arg[2] == '#') {
            if (o->outSelfExtractArchive || arg[3] == '\0')
                return "options -X#? ERROR!\n\n";
            o->outSelfExtractArchive = arg + 3;
            return 0;
        }
        if (arg[2] == '-') {
            if (o->selfExecuteFile || strncmp(arg, "-X-exe#", 7) != 0)
                return "options -X-? ERROR!\n\n";
            if (arg[7] == '\0')
                return "options -X-exe#? ERROR!\n\n";
            o->selfExecuteFile = arg + 7;
            return 0;
        }
        return "options -X ERROR!\n\n";
    default:
        return "options -? ERROR!\n\n";
    }
}

int createMode(const Options* o, const char* programPath)
{
    if (!o->outSelfExtractArchive)
        return optionError("options -X#? ERROR!\n\n");
    if (o->isRunSFX)
        return optionError("options -X ERROR!\n\n");
    if (o->positionalCount != 1)
        return optionError("options -X# input count ERROR!\n\n");
    const char* selfExecuteFile = o->selfExecuteFile ? o->selfExecuteFile : programPath;
    if (!o->isForceOverwrite) {
        dpatch_TPathType type = kPathType_notExist;
        if (!getPathType(o->outSelfExtractArchive, &type)) {
            dpatch_fprintf(stderr, "get outSelfExtractArchive type ERROR!\n");
            return DPATCH_PATHTYPE_ERROR;
        }
        if (type != kPathType_notExist) {
            dpatch_fprintf(stderr, "outSelfExtractArchive already exists, overwrite ERROR!\n");
            return DPATCH_PATHTYPE_ERROR;
        }
    }
    return createSfxChecked(selfExecuteFile, o->positional[0], o->outSelfExtractArchive);
}
} // namespace

BOOL readSfxMarker(dpatch_StreamPos_t* out_offset, dpatch_StreamPos_t* out_size)
{
    const dpatch_StreamPos_t offset = readLittleEndian(16, 4);
    const dpatch_StreamPos_t size = readLittleEndian(20, 8);
    if (offset == 0xffffffffu || size == ~(dpatch_StreamPos_t)0)
        return 0;
    *out_offset = offset;
    *out_size = size;
    return 1;
}

BOOL isDirDiffFile(const char* path)
{
    TDirDiffInfo info;
    memset(&info, 0, sizeof(info));
    return readDirDiffInfo(path, &info, 0, 0) && info.isDirDiff;
}

BOOL isCompressedDiffFile(const char* path)
{
    dpatch_TFileStreamInput file;
    memset(&file, 0, sizeof(file));
    if (!dpatch_TFileStreamInput_open(&file, path))
        return 0;
    dpatch_TCompressedDiffInfo info;
    const BOOL isDiff = getCompressedDiffInfo(&info, &file.base);
    const BOOL closed = dpatch_TFileStreamInput_close(&file);
    return isDiff && closed;
}

int createSfxChecked(const char* selfExecuteFile, const char* diffFile, const char* outSelfExtractArchive)
{
    if (!isDirDiffFile(diffFile) && !isCompressedDiffFile(diffFile)) {
        dpatch_fprintf(stderr, "createSfx() input diffFile is unsupported type ERROR!\n");
        return DPATCH_SFX_DIFFTYPE_ERROR;
    }
    return createSfx(selfExecuteFile, diffFile, outSelfExtractArchive);
}

int createSfx(const char* selfExecuteFile, const char* diffFile, const char* outSelfExtractArchive)
{
    int result = DPATCH_SUCCESS;
    dpatch_TFileStreamInput exeData;
    dpatch_TFileStreamInput diffData;
    dpatch_TFileStreamOutput sfxData;
    dpatch_byte* buf = 0;
    memset(&exeData, 0, sizeof(exeData));
    memset(&diffData, 0, sizeof(diffData));
    memset(&sfxData, 0, sizeof(sfxData));

#define failWith(code, message)                                                                                        \
    do {                                                                                                               \
        dpatch_fprintf(stderr, "%s", message);                                                                         \
        result = code;                                                                                                 \
        goto clear;                                                                                                    \
    } while (0)

    dpatch_printf("selfExecute: \"");
    dpatch_printf("%s", selfExecuteFile);
    dpatch_printf("\"\ndiffFile   : \"");
    dpatch_printf("%s", diffFile);
    dpatch_printf("\"\nout sfxFile: \"");
    dpatch_printf("%s", outSelfExtractArchive);
    dpatch_printf("\"\n\n");

    if (!dpatch_TFileStreamInput_open(&exeData, selfExecuteFile))
        failWith(DPATCH_OPENREAD_ERROR, "createSfx() open selfExecuteFile read ERROR!\n");
    if (!dpatch_TFileStreamInput_open(&diffData, diffFile))
        failWith(DPATCH_OPENREAD_ERROR, "createSfx() open diffFileName read ERROR!\n");
    {
        const dpatch_StreamPos_t exeSize = exeData.base.streamSize;
        const dpatch_StreamPos_t diffSize = diffData.base.streamSize;
        // the archive's size must not wrap; the exe is checked against 4 GiB below anyway
        const dpatch_StreamPos_t sfxSize =
            exeSize <= ~(dpatch_StreamPos_t)0 - diffSize ? exeSize + diffSize : ~(dpatch_StreamPos_t)0;
        if (!dpatch_TFileStreamOutput_open(&sfxData, outSelfExtractArchive, sfxSize))
            failWith(DPATCH_OPENWRITE_ERROR, "createSfx() open sfxFile write ERROR!\n");
        buf = (dpatch_byte*)malloc(kSfxChunkSize + kBlockSize);
        if (!buf)
            failWith(DPATCH_MEM_ERROR, "createSfx() malloc ERROR!\n");
        memset(buf, 0, kBlockSize);
        if (exeSize >= ((dpatch_StreamPos_t)1 << 32))
            failWith(DPATCH_SFX_EXETYPE_ERROR, "createSfx() selfExecute fileSize ERROR!\n");
        if (exeSize == 0)
            failWith(DPATCH_SFX_EXETYPE_ERROR, "createSfx() selfExecute type ERROR!\n");

        dpatch_byte pattern[kBlockSize];
        plainBlock(pattern);
        BOOL isFound = 0;
        dpatch_StreamPos_t readPos = 0;
        dpatch_StreamPos_t writePos = 0;
        while (readPos < exeSize) {
            const size_t chunk = (size_t)(exeSize - readPos < kSfxChunkSize ? exeSize - readPos : kSfxChunkSize);
            if (!exeData.base.read(&exeData.base, readPos, buf + kBlockSize, buf + kBlockSize + chunk))
                failWith(DPATCH_FILEREAD_ERROR, "createSfx() read selfExecute ERROR!\n");
            const BOOL isFirst = readPos == 0;
            readPos += chunk;
            const BOOL isLast = readPos == exeSize;
            dpatch_byte* region = isFirst ? buf + kBlockSize : buf;
            dpatch_byte* regionEnd = buf + kBlockSize + chunk;
            if (!isFound && (size_t)(regionEnd - region) >= kBlockSize) {
                for (dpatch_byte* p = region; p + kBlockSize <= regionEnd; ++p) {
                    if (memcmp(p, pattern, kBlockSize) == 0) {
                        writeLittleEndian(p + kMarkerSize, exeSize & 0xffffffffu, 4);
                        writeLittleEndian(p + kMarkerSize + 4, diffSize, 8);
                        isFound = 1;
                        break;
                    }
                }
            }
            dpatch_byte* writeEnd = isLast ? regionEnd : regionEnd - kBlockSize;
            if (writeEnd > region) {
                if (!sfxData.base.write(&sfxData.base, writePos, region, writeEnd))
                    failWith(DPATCH_FILEWRITE_ERROR, "createSfx() write sfxData ERROR!\n");
                writePos += (dpatch_StreamPos_t)(writeEnd - region);
            }
            if (!isLast)
                memmove(buf, regionEnd - kBlockSize, kBlockSize);
        }
        if (!isFound)
            failWith(DPATCH_SFX_EXETYPE_ERROR, "createSfx() selfExecute type ERROR!\n");
        for (dpatch_StreamPos_t pos = 0; pos < diffSize;) {
            const size_t chunk = (size_t)(diffSize - pos < kSfxChunkSize ? diffSize - pos : kSfxChunkSize);
            if (!diffData.base.read(&diffData.base, pos, buf, buf + chunk))
                failWith(DPATCH_FILEREAD_ERROR, "createSfx() read diffData ERROR!\n");
            if (!sfxData.base.write(&sfxData.base, writePos, buf, buf + chunk))
                failWith(DPATCH_FILEWRITE_ERROR, "createSfx() write sfxData ERROR!\n");
            pos += chunk;
            writePos += chunk;
        }
        free(buf);
        buf = 0;
        if (!dpatch_TFileStreamOutput_close(&sfxData))
            failWith(DPATCH_FILECLOSE_ERROR, "createSfx() out sfxFile close ERROR!\n");
        dpatch_printf("sfxFileSize: %llu\n", (unsigned long long)writePos);
        if (dpatch_isExecuteFile(selfExecuteFile) && !dpatch_setExecuteTag(outSelfExtractArchive))
            failWith(DPATCH_SFX_EXECUTETAG_ERROR, "createSfx() set sfxFile Execute tag ERROR!\n");
        dpatch_printf("out sfxFile ok!\n");
    }
#undef failWith
    if (!dpatch_TFileStreamInput_close(&diffData)) {
        dpatch_fprintf(stderr, "createSfx() diffFile close ERROR!\n");
        result = DPATCH_FILECLOSE_ERROR;
    }
    if (!dpatch_TFileStreamInput_close(&exeData)) {
        dpatch_fprintf(stderr, "createSfx() selfExecuteFile close ERROR!\n");
        result = DPATCH_FILECLOSE_ERROR;
    }
    return result;

clear:
    free(buf);
    if (!dpatch_TFileStreamOutput_close(&sfxData))
        dpatch_fprintf(stderr, "createSfx() out sfxFile close ERROR!\n");
    if (!dpatch_TFileStreamInput_close(&diffData))
        dpatch_fprintf(stderr, "createSfx() diffFile close ERROR!\n");
    if (!dpatch_TFileStreamInput_close(&exeData))
        dpatch_fprintf(stderr, "createSfx() selfExecuteFile close ERROR!\n");
    return result;
}

int runPatcherCommandLine(int argc, char** argv)
{
    Options o;
    memset(&o, 0, sizeof(o));
    o.cacheSize = kDefaultCacheSize;
    o.checksumSet.isCheck_newRefData = 1;
    o.checksumSet.isCheck_copyFileData = 1;
    const char* programPath = argc > 0 ? argv[0] : "";
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            const char* message = parseOption(&o, arg);
            if (message)
                return optionError(message);
            continue;
        }
        if (o.positionalCount == 3)
            return optionError("options input count ERROR!\n\n");
        if (arg[0] == '\0' && o.positionalCount > 0)
            return optionError("options ? ERROR!\n\n");
        o.positional[o.positionalCount++] = arg;
    }

    dpatch_StreamPos_t sfxOffset = 0;
    dpatch_StreamPos_t sfxSize = 0;
    const BOOL isCreateMode = o.outSelfExtractArchive != 0 || o.selfExecuteFile != 0;
    if (o.positionalCount == 0 && readSfxMarker(&sfxOffset, &sfxSize)) {
        o.isRunSFX = 1;
        o.isForceOverwrite = 1;
    }
    if (o.isOutputHelp || o.isOutputVersion) {
        printBanner();
        if (o.isOutputHelp)
            printUsage();
        if (o.positionalCount == 0 && !o.isRunSFX && !isCreateMode)
            return DPATCH_SUCCESS;
    }
    size_t maxOpenFileNumber = kDefaultOpenFiles;
    if (o.isOpenFileLimitSet) {
        if (o.maxOpenFileNumber < kMinOpenFiles)
            maxOpenFileNumber = kMinOpenFiles;
        else
            maxOpenFileNumber =
                o.maxOpenFileNumber > (size_t) ~(size_t)0 ? (size_t) ~(size_t)0 : (size_t)o.maxOpenFileNumber;
    }

    if (isCreateMode)
        return createMode(&o, programPath);

    PatchArgs a;
    const char* outNewPath = 0;
    a.loadOldAll = o.isLoadOldAll;
    a.cacheSize = o.cacheSize;
    a.maxOpenFileNumber = maxOpenFileNumber;
    a.checksumSet = &o.checksumSet;
    a.diffDataOffert = 0;
    a.diffDataSize = 0;
    if (o.isRunSFX) {
        if (o.positionalCount != 0 && o.positionalCount != 2)
            return optionError("options -X input count ERROR!\n\n");
        dpatch_printf("run as SFX mode!\n");
        if (!readSfxMarker(&sfxOffset, &sfxSize)) {
            dpatch_fprintf(stderr, "not found diff data in selfExecuteFile ERROR!\n");
            return DPATCH_SFX_NOTFOUND_DIFF_ERROR;
        }
        a.diffFile = programPath;
        a.diffDataOffert = sfxOffset;
        a.diffDataSize = sfxSize;
        a.oldPath = o.positionalCount == 2 ? o.positional[0] : "";
        outNewPath = o.positionalCount == 2 ? o.positional[1] : "./";
    } else {
        if (o.positionalCount != 3)
            return optionError("options input count ERROR!\n\n");
        a.oldPath = o.positional[0];
        a.diffFile = o.positional[1];
        outNewPath = o.positional[2];
    }

    const BOOL isInPlace = isSamePath(a.oldPath, outNewPath);
    if (isSamePath(a.oldPath, a.diffFile)) {
        dpatch_fprintf(stderr, "oldPath diffFile same path ERROR!\n");
        return DPATCH_PATHTYPE_ERROR;
    }
    if (isSamePath(outNewPath, a.diffFile)) {
        dpatch_fprintf(stderr, "outNewPath diffFile same path ERROR!\n");
        return DPATCH_PATHTYPE_ERROR;
    }
    // Outside the in-place road a patch must not write into the tree it reads, nor read from the
    // tree it writes.
    if (!isInPlace && a.oldPath[0] != '\0' &&
        (isPathInside(outNewPath, a.oldPath) || isPathInside(a.oldPath, outNewPath))) {
        dpatch_fprintf(stderr, "oldPath outNewPath overlap ERROR!\n");
        return DPATCH_PATHTYPE_ERROR;
    }
    if (!o.isForceOverwrite) {
        dpatch_TPathType type = kPathType_notExist;
        if (!getPathType(outNewPath, &type)) {
            dpatch_fprintf(stderr, "get outNewPath type ERROR!\n");
            return DPATCH_PATHTYPE_ERROR;
        }
        if (type != kPathType_notExist) {
            dpatch_fprintf(stderr, "outNewPath already exists, overwrite ERROR!\n");
            return DPATCH_PATHTYPE_ERROR;
        }
        if (isInPlace) {
            dpatch_fprintf(stderr, "oldPath outNewPath same path, overwrite ERROR!\n");
            return DPATCH_PATHTYPE_ERROR;
        }
    }

    TDirDiffInfo info;
    memset(&info, 0, sizeof(info));
    if (!readDirDiffInfo(a.diffFile, &info, a.diffDataOffert, a.diffDataSize)) {
        dpatch_fprintf(stderr, "input diffFile open read ERROR!\n");
        return DPATCH_OPENREAD_ERROR;
    }
    if (info.isDirDiff) {
        if (!isInPlace)
            return runDirPatch(a.oldPath, a.diffFile, outNewPath, a.loadOldAll, a.cacheSize, a.maxOpenFileNumber,
                               a.checksumSet, &defaultDirPatchListener, a.diffDataOffert, a.diffDataSize);
        dpatch_TPathType oldType = kPathType_notExist;
        const BOOL isOldTypeKnown = getPathType(a.oldPath, &oldType);
        if (info.isNewPathDir) {
            // a missing old folder may be one that a swap cut short moved aside: the in-place road looks
            if (!isOldTypeKnown || oldType == kPathType_file || a.oldPath[0] == '\0') {
                dpatch_fprintf(stderr, "can not use directory overwrite oldFile ERROR!\n");
                return DPATCH_PATHTYPE_ERROR;
            }
            return dirInPlace(&a);
        }
        if (!isOldTypeKnown || oldType != kPathType_file) {
            dpatch_fprintf(stderr, "can not use file overwrite oldDirectory ERROR!\n");
            return DPATCH_PATHTYPE_ERROR;
        }
        return fileInPlace(runDirInto, &a, a.oldPath, outNewPath);
    }
    if (!isInPlace)
        return runFilePatch(a.oldPath, a.diffFile, outNewPath, a.loadOldAll, a.cacheSize, a.diffDataOffert,
                            a.diffDataSize);
    return fileInPlace(runFileInto, &a, a.oldPath, outNewPath);
}
