#include "patch/drivers/file_patch_driver.h"

#include "patch/core/compressed_diff.h"
#include "patch/core/compressed_patch.h"
#include "patch/core/streams.h"
#include "patch/drivers/patch_driver_setup.h"
#include "patch/os/file_services.h"

#include <string.h>

#include "patch/core/dpatch_check.h"

namespace
{
BOOL closeInput(void* file)
{
    return dpatch_TFileStreamInput_close((dpatch_TFileStreamInput*)file);
}

BOOL closeOutput(void* file)
{
    return dpatch_TFileStreamOutput_close((dpatch_TFileStreamOutput*)file);
}
} // namespace

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
        goto closeRun;                                                                                                 \
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
    result = dpatch_openDiffWindow(&diffData, diffFileName, diffDataOffert, diffDataSize);
    if (result != DPATCH_SUCCESS)
        goto closeRun;

    if (!getCompressedDiffInfo(&diffInfo, &diffData.base)) {
        if (diffData.fileError)
            failWith(DPATCH_FILEREAD_ERROR, "read diffFile ERROR!\n");
        failWith(DPATCH_DIFFINFO_ERROR, "is diff file? getCompressedDiffInfo() ERROR!\n");
    }
    if (oldStream->streamSize != diffInfo.oldDataSize)
        failWith(DPATCH_FILEDATA_ERROR, "oldFile dataSize %llu != diffFile saved oldDataSize %llu ERROR!\n",
                 (unsigned long long)oldStream->streamSize, (unsigned long long)diffInfo.oldDataSize);

    result = dpatch_chooseDecompressPlugin(diffInfo.compressType, diffInfo.compressedSectionCount, &decompressPlugin);
    if (result != DPATCH_SUCCESS)
        goto closeRun;

    if (!dpatch_TFileStreamOutput_open(&newData, outNewPath, diffInfo.newDataSize))
        failWith(DPATCH_OPENWRITE_ERROR, "open out newFile for write ERROR!\n");
    dpatch_printf("oldDataSize : %llu\ndiffDataSize: %llu\nnewDataSize : %llu\n",
                  (unsigned long long)oldStream->streamSize, (unsigned long long)diffData.base.streamSize,
                  (unsigned long long)diffInfo.newDataSize);

    result = dpatch_allocRunCache(oldStream->streamSize, loadOldAll, cacheSize, &temp_cache, &temp_cacheSize);
    if (result != DPATCH_SUCCESS)
        goto closeRun;

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

closeRun:
    // a failed close keeps the run's code, and the remaining files are still closed
    {
        const dpatch_TCloseStep steps[] = {
            {closeOutput, &newData, "out newFile close ERROR!\n", DPATCH_FILECLOSE_ERROR},
            {closeInput, &diffData, "diffFile close ERROR!\n", DPATCH_FILECLOSE_ERROR},
            {closeInput, &oldFile, "oldFile close ERROR!\n", DPATCH_FILECLOSE_ERROR},
        };
        return dpatch_closeRun(result, steps, sizeof(steps) / sizeof(steps[0]), temp_cache,
                               "\ndirpatch time: ", startTime);
    }
}
