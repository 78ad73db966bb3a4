#include "patch/tools/sfx_archive.h"

#include "patch/core/compressed_diff.h"
#include "patch/core/dpatch_log.h"
#include "patch/dir/dir_diff_format.h"
#include "patch/drivers/dir_patch_result.h"
#include "patch/os/file_services.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
