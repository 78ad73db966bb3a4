#include "patch/tools/patcher_command_line.h"

#include "patch/core/dpatch_log.h"
#include "patch/dir/dir_diff_format.h"
#include "patch/drivers/dir_patch_driver.h"
#include "patch/drivers/dir_patch_result.h"
#include "patch/drivers/file_patch_driver.h"
#include "patch/os/file_services.h"
#include "patch/os/path_identity.h"
#include "patch/tools/in_place_patch.h"
#include "patch/tools/patcher_options.h"
#include "patch/tools/sfx_archive.h"

#include <stdio.h>
#include <string.h>

namespace
{
// The type of path, its trailing '/'s dropped; 0 when it can't be told (also for a path too long to copy).
BOOL getPathType(const char* path, dpatch_TPathType* out_type)
{
    char buf[dpatch_kPathBufSize];
    return dpatch_copyWithoutTrailingSlashes(path, buf) && dpatch_getPathStat(buf, out_type, 0);
}

int createMode(const PatcherOptions* o, const char* programPath)
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

int runPatcherCommandLine(int argc, char** argv)
{
    PatcherOptions o;
    const char* programPath = argc > 0 ? argv[0] : "";
    const char* message = parsePatcherOptions(&o, argc, argv);
    if (message)
        return optionError(message);

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
    if (isCreateMode)
        return createMode(&o, programPath);

    PatchArgs a;
    const char* outNewPath = 0;
    a.loadOldAll = o.isLoadOldAll;
    a.cacheSize = o.cacheSize;
    a.maxOpenFileNumber = maxOpenFileNumberOf(&o);
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
            return patchDirInPlace(&a);
        }
        if (!isOldTypeKnown || oldType != kPathType_file) {
            dpatch_fprintf(stderr, "can not use file overwrite oldDirectory ERROR!\n");
            return DPATCH_PATHTYPE_ERROR;
        }
        return patchFileInPlace(&a, outNewPath, 1);
    }
    if (!isInPlace)
        return runFilePatch(a.oldPath, a.diffFile, outNewPath, a.loadOldAll, a.cacheSize, a.diffDataOffert,
                            a.diffDataSize);
    return patchFileInPlace(&a, outNewPath, 0);
}
