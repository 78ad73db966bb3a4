#include "patch/drivers/file_patch_driver.h"

#include "patch/core/compressed_diff.h"
#include "patch/core/compressed_patch.h"
#include "patch/core/streams.h"
#include "patch/drivers/patch_driver_cache.h"
#include "patch/os/file_services.h"
#include "patch/os/zstd_decompress_plugin.h"

#include <stdlib.h>
#include <string.h>

#include "patch/core/dpatch_check.h"

int runFilePatch(const char* oldPath, const char* diffFileName, const char* outNewPath, BOOL loadOldAll,
                 size_t cacheSize, dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize)
{
    const double startTime = dpatch_clockSeconds();
    int result = DPATCH_SUCCESS;
    dpatch_TFileStreamInput oldFile;
    dpatch_TFileStreamInput diffData;
    dpatch_TFileStreamOutput newData;
    dpatch_TStreamInput emptyOld;
    const dpatch_TStreamInput* oldStream = 0;
    const dpatch_TDecompressPlugin* decompressPlugin = 0;
    dpatch_TCompressedDiffInfo diffInfo;
    unsigned char* temp_cache = 0;
    size_t temp_cacheSize = 0;
    memset(&oldFile, 0, sizeof(oldFile));
    memset(&diffData, 0, sizeof(diffData));
    memset(&newData, 0, sizeof(newData));
    memset(&diffInfo, 0, sizeof(diffInfo));

#define failWith(code, ...)                                                                                            \
    do {                                                                                                               \
        dpatch_fprintf(stderr, __VA_ARGS__);                                                                           \
        result = code;                                                                                                 \
        goto failed;                                                                                                   \
    } while (0)

    dpatch_printf("old : \"");
    dpatch_printf("%s", oldPath);
    dpatch_printf("\"\ndiff: \"");
    dpatch_printf("%s", diffFileName);
    dpatch_printf("\"\nout : \"");
    dpatch_printf("%s", outNewPath);
    dpatch_printf("\"\n");

    if (oldPath[0] == '\0') {
        dpatch_memStreamInput_init(&emptyOld, 0, 0);
        oldStream = &emptyOld;
    } else {
        if (!dpatch_TFileStreamInput_open(&oldFile, oldPath))
            failWith(DPATCH_OPENREAD_ERROR, "open oldFile for read ERROR!\n");
        oldStream = &oldFile.base;
    }
    if (!dpatch_TFileStreamInput_open(&diffData, diffFileName))
        failWith(DPATCH_OPENREAD_ERROR, "open diffFile for read ERROR!\n");
    if (diffDataOffert != 0) {
        if (!dpatch_TFileStreamInput_setOffset(&diffData, diffDataOffert))
            failWith(DPATCH_SFX_DIFFDATA_ERROR, "readed sfx diffFile offset ERROR!\n");
        if (diffData.base.streamSize < diffDataSize)
            failWith(DPATCH_SFX_DIFFDATA_ERROR, "readed sfx diffFile size ERROR!\n");
        diffData.base.streamSize = diffDataSize;
    }

    if (!getCompressedDiffInfo(&diffInfo, &diffData.base)) {
        if (diffData.fileError)
            failWith(DPATCH_FILEREAD_ERROR, "read diffFile ERROR!\n");
        failWith(DPATCH_DIFFINFO_ERROR, "is diff file? getCompressedDiffInfo() ERROR!\n");
    }
    if (oldStream->streamSize != diffInfo.oldDataSize)
        failWith(DPATCH_FILEDATA_ERROR, "oldFile dataSize %llu != diffFile saved oldDataSize %llu ERROR!\n",
                 (unsigned long long)oldStream->streamSize, (unsigned long long)diffInfo.oldDataSize);

    {
        const char* compressType = diffInfo.compressType;
        const int need = diffInfo.compressedSectionCount;
        if (compressType[0] == '\0') {
            if (need > 0)
                failWith(DPATCH_COMPRESSTYPE_ERROR, "can not decompress \"%s\" data ERROR!\n", compressType);
        } else if (zstdDecompressPlugin.canOpen(compressType)) {
            dpatch_printf("dirpatch run with decompress plugin: \"%s\" (need decompress %d)\n", compressType, need);
            decompressPlugin = &zstdDecompressPlugin;
        } else if (need > 0) {
            failWith(DPATCH_COMPRESSTYPE_ERROR, "can not decompress \"%s\" data ERROR!\n", compressType);
        } else {
            dpatch_printf("  diffFile added useless compress tag \"%s\"\n", compressType);
        }
    }

    if (!dpatch_TFileStreamOutput_open(&newData, outNewPath, diffInfo.newDataSize))
        failWith(DPATCH_OPENWRITE_ERROR, "open out newFile for write ERROR!\n");
    dpatch_printf("oldDataSize : %llu\ndiffDataSize: %llu\nnewDataSize : %llu\n",
                  (unsigned long long)oldStream->streamSize, (unsigned long long)diffData.base.streamSize,
                  (unsigned long long)diffInfo.newDataSize);

    {
        temp_cache = dpatch_allocPatchCache(oldStream->streamSize, loadOldAll, cacheSize, &temp_cacheSize);
        if (!temp_cache)
            failWith(DPATCH_MEM_ERROR, "alloc cache memory ERROR!\n");
    }

    if (!patch_decompress_with_cache(&newData.base, oldStream, &diffData.base, decompressPlugin, temp_cache,
                                     temp_cache + temp_cacheSize)) {
        if (oldFile.fileError)
            failWith(DPATCH_FILEREAD_ERROR, "oldFile read ERROR!\n");
        if (diffData.fileError)
            failWith(DPATCH_FILEREAD_ERROR, "diffFile read ERROR!\n");
        if (newData.fileError)
            failWith(DPATCH_FILEWRITE_ERROR, "out newFile write ERROR!\n");
        failWith(DPATCH_PATCH_ERROR, "patch run ERROR!\n");
    }
    if (newData.out_length != newData.base.streamSize)
        failWith(DPATCH_FILEDATA_ERROR, "out newFile dataSize %llu != diffFile saved newDataSize %llu ERROR!\n",
                 (unsigned long long)newData.out_length, (unsigned long long)newData.base.streamSize);
    dpatch_printf("  patch ok!\n");
#undef failWith

    // success ending: a failed close keeps its code and the remaining files are still closed
    if (!dpatch_TFileStreamOutput_close(&newData)) {
        dpatch_fprintf(stderr, "out newFile close ERROR!\n");
        result = DPATCH_FILECLOSE_ERROR;
        goto closeDiff;
    }
    if (!dpatch_TFileStreamInput_close(&diffData)) {
        dpatch_fprintf(stderr, "diffFile close ERROR!\n");
        result = DPATCH_FILECLOSE_ERROR;
        goto closeOld;
    }
    if (!dpatch_TFileStreamInput_close(&oldFile)) {
        dpatch_fprintf(stderr, "oldFile close ERROR!\n");
        result = DPATCH_FILECLOSE_ERROR;
    }
    goto freeCache;

failed:
    if (!dpatch_TFileStreamOutput_close(&newData))
        dpatch_fprintf(stderr, "out newFile close ERROR!\n");
closeDiff:
    if (!dpatch_TFileStreamInput_close(&diffData))
        dpatch_fprintf(stderr, "diffFile close ERROR!\n");
closeOld:
    if (!dpatch_TFileStreamInput_close(&oldFile))
        dpatch_fprintf(stderr, "oldFile close ERROR!\n");
freeCache:
    free(temp_cache);
    dpatch_printf("\ndirpatch time: %.3f s\n", dpatch_clockSeconds() - startTime);
    return result;
}
