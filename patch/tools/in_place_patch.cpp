#include "patch/tools/in_place_patch.h"

#include "patch/core/dpatch_log.h"
#include "patch/drivers/dir_patch_driver.h"
#include "patch/drivers/dir_patch_result.h"
#include "patch/drivers/file_patch_driver.h"
#include "patch/drivers/in_place_folder_modes.h"
#include "patch/drivers/in_place_swap.h"
#include "patch/drivers/temp_dir_patch_listener.h"
#include "patch/os/file_services.h"

#include <stdio.h>

namespace
{
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

int runDirInto(void* context, const char* outPath)
{
    const PatchArgs* a = (const PatchArgs*)context;
    return runDirPatch(a->oldPath, a->diffFile, outPath, a->loadOldAll, a->cacheSize, a->maxOpenFileNumber,
                       a->checksumSet, &defaultDirPatchListener, a->diffDataOffert, a->diffDataSize);
}

int runFileInto(void* context, const char* outPath)
{
    const PatchArgs* a = (const PatchArgs*)context;
    return runFilePatch(a->oldPath, a->diffFile, outPath, a->loadOldAll, a->cacheSize, a->diffDataOffert,
                        a->diffDataSize);
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

} // namespace

int patchFileInPlace(const PatchArgs* a, const char* outNewPath, BOOL isDirDiff)
{
    return fileInPlace(isDirDiff ? runDirInto : runFileInto, (void*)a, a->oldPath, outNewPath);
}

namespace
{
int patchDirThroughSwap(const PatchArgs* a, TInPlaceSwap& swap)
{
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
    TTempDirPatchRun run;
    run.swap = &swap;
    TDirPatchListener listener;
    tempDirPatchListener_init(&listener, &run);
    tempDirPatchRun_openOldFolders(&run, swap.realDir);
    const int result = runDirPatch(swap.realDir, a->diffFile, swap.newDir, a->loadOldAll, a->cacheSize,
                                   a->maxOpenFileNumber, a->checksumSet, &listener, a->diffDataOffert, a->diffDataSize);
    // given back by the listener's finish already, unless the run ended before the listener began
    tempDirPatchRun_closeOldFolders(&run);
    if (result == DPATCH_SUCCESS) {
        dpatch_printf("all in outNewPath temp directory moved to oldDirectory!\n");
        return result;
    }
    // a run that failed before its listener was called still leaves its record
    if (inPlaceSwap_hasBuildRecord(&swap))
        inPlaceSwap_abandon(&swap);
    if (pathStillExists(swap.newDir))
        pathNote("WARNING: not remove temp directory \"", swap.newDir);
    return result;
}
} // namespace

int patchDirInPlace(const PatchArgs* a)
{
    TInPlaceSwap swap;
    const int result = patchDirThroughSwap(a, swap);
    inPlaceSwap_end(&swap);
    return result;
}
