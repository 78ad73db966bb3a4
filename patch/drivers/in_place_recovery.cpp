#include "patch/drivers/in_place_recovery.h"

#include "patch/core/dpatch_log.h"
#include "patch/drivers/in_place_folder_modes.h"
#include "patch/drivers/in_place_names.h"
#include "patch/drivers/in_place_record.h"
#include "patch/os/tree_removal.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
BOOL removeAside(const TInPlaceSwap* self, const TInPlaceRecordedNames& names)
{
    const TInPlaceLook aside = inPlace_look(self->asideDir);
    if (aside.kind == 0)
        return 1;
    if (!names.isAside(aside)) {
        inPlace_refuseInTheWay(self->asideDir);
        return 0;
    }
    return dpatch_removeTree(self->asideDir);
}

// Finishes a swap whose record says the new tree was complete, from one of the states the swap passes
// through: R old with the new tree beside it, R moved aside with the new tree beside it, R new with the
// aside beside it, R new alone. In any other state nothing is renamed or removed.
BOOL finishSwap(TInPlaceSwap* self, const TInPlaceRecord& record)
{
    if (record.version == 2 && !record.hasNew) {
        inPlace_refuse("not a record of this patcher, in the way:", self->swapRecord);
        return 0;
    }
    const TInPlaceRecordedNames names(record, self->bootId);
    const TInPlaceLook real = inPlace_look(self->realDir);
    const TInPlaceLook aside = inPlace_look(self->asideDir);
    const TInPlaceLook fresh = inPlace_look(self->newDir);
    if (real.kind < 0 || aside.kind < 0 || fresh.kind < 0) {
        inPlace_refuse("can't look at the folders beside", self->realDir);
        return 0;
    }
    if (names.isNew(fresh)) {
        if (names.isOld(real) && aside.kind == 0) {
            if (!inPlace_renameToFree(self->realDir, self->asideDir))
                return 0;
        } else if (real.kind != 0 && !names.isOld(real)) {
            inPlace_refuseInTheWay(self->realDir);
            return 0;
        } else if (real.kind != 0 || !names.isAside(aside)) {
            if (aside.kind == 0)
                inPlace_refuseMissing(self->asideDir);
            else
                inPlace_refuseInTheWay(self->asideDir);
            return 0;
        }
        if (!names.isNew(inPlace_look(self->newDir))) {
            inPlace_refuseInTheWay(self->newDir);
            return 0;
        }
        if (!inPlace_renameToFree(self->newDir, self->realDir))
            return 0;
    } else if (fresh.kind == 0) {
        if (names.isOld(real) || real.kind == 0) {
            inPlace_refuse("the new tree of an earlier run is missing beside", self->realDir);
            return 0;
        }
        if (!names.isNew(real)) {
            inPlace_refuseInTheWay(self->realDir);
            return 0;
        }
        if (aside.kind != 0 && !names.isAside(aside)) {
            inPlace_refuseInTheWay(self->asideDir);
            return 0;
        }
    } else {
        inPlace_refuseInTheWay(self->newDir);
        return 0;
    }
    // R is the new tree now; the aside is removed before the record that explains it
    if (!removeAside(self, names)) {
        inPlace_refuse("can't remove the old tree an earlier in-place run moved aside:", self->asideDir);
        return 0;
    }
    return inPlaceRecord_remove(self->swapRecord, record.file);
}

// Removes the new tree that a run cut short left half made, with its record; R must still be the old
// folder, and nothing may stand aside. The folders of R that the run had opened to itself get their modes
// back first: the next patch would take the opened modes for theirs.
BOOL removeUnfinished(TInPlaceSwap* self, const TInPlaceRecord& record)
{
    const TInPlaceRecordedNames names(record, self->bootId);
    const TInPlaceLook aside = inPlace_look(self->asideDir);
    if (aside.kind != 0) {
        inPlace_refuse("can't tell where this folder comes from:", self->asideDir);
        return 0;
    }
    const TInPlaceLook fresh = inPlace_look(self->newDir);
    if (record.version == 0) { // a record killed before its one write: nothing was made yet
        if (fresh.kind != 0) {
            inPlace_refuseInTheWay(self->newDir);
            return 0;
        }
        return inPlaceRecord_remove(self->buildRecord, record.file);
    }
    const TInPlaceLook real = inPlace_look(self->realDir);
    if (!names.isOld(real)) {
        if (real.kind == 0)
            inPlace_refuseMissing(self->realDir);
        else
            inPlace_refuseInTheWay(self->realDir);
        return 0;
    }
    if (!inPlace_giveFolderModesBack(self->realDir, record.opened, names.compareDevice)) {
        inPlace_refuse("can't give back the modes an earlier in-place run opened in", self->realDir);
        return 0;
    }
    if (fresh.kind != 0) {
        if (record.version == 2 && !record.hasNew) {
            // killed between making the folder and recording it: it is still empty
            if (fresh.kind != 1 || fresh.info.st_uid != geteuid() || names.isOld(fresh) || rmdir(self->newDir) != 0) {
                inPlace_refuseInTheWay(self->newDir);
                return 0;
            }
        } else if (!names.isNew(fresh)) {
            inPlace_refuseInTheWay(self->newDir);
            return 0;
        } else if (!dpatch_removeTree(self->newDir)) {
            return 0;
        }
    }
    return inPlaceRecord_remove(self->buildRecord, record.file);
}
} // namespace

TInPlaceStart inPlaceRecovery_finishEarlierRun(TInPlaceSwap* self, const char* diffFile,
                                               dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize)
{
    TInPlaceRecord swap;
    TInPlaceRecord build;
    const int hasSwap = inPlaceRecord_read(self->swapRecord, &swap);
    const int hasBuild = inPlaceRecord_read(self->buildRecord, &build);
    if (hasSwap < 0 || hasBuild < 0)
        return kInPlaceStart_refused;
    if (hasSwap && swap.version == 0) {
        inPlace_refuse("not a record of this patcher, in the way:", self->swapRecord);
        return kInPlaceStart_refused;
    }
    // A build record is written in one piece right after it is created: an empty one is of a run killed
    // in between, which had made nothing yet.
    if (hasBuild && build.version == 0 && !(build.isEmpty && inPlace_look(self->newDir).kind == 0)) {
        inPlace_refuse("not a record of this patcher, in the way:", self->buildRecord);
        return kInPlaceStart_refused;
    }
    if (hasSwap) {
        if (!finishSwap(self, swap))
            return kInPlaceStart_refused;
        dpatch_printf("NOTE: finished the swap of an earlier in-place run into \"%s\"\n", self->realDir);
        std::string identity = self->diffIdentity;
        if (swap.version == 1) {
            char first[64];
            identity =
                inPlaceRecord_identifyDiffAsEarlierBuilds(diffFile, diffDataOffert, diffDataSize, first, sizeof(first))
                    ? first
                    : "";
        }
        if (swap.diff == identity)
            return kInPlaceStart_done;
    } else if (hasBuild) {
        if (!removeUnfinished(self, build))
            return kInPlaceStart_refused;
        dpatch_printf("NOTE: removed the new tree an earlier in-place run left unfinished \"%s\"\n", self->newDir);
    }
    return kInPlaceStart_patch;
}

BOOL inPlaceRecovery_takeAsideForItsFolder(std::string* real, const char* bootId)
{
    const size_t suffixLength = sizeof(inPlace_kAsideSuffix) - 1;
    if (real->size() <= suffixLength ||
        real->compare(real->size() - suffixLength, suffixLength, inPlace_kAsideSuffix) != 0)
        return 1;
    const std::string folder = real->substr(0, real->size() - suffixLength);
    if (inPlace_nameOf(folder).empty())
        return 1;
    TInPlaceRecord record;
    const int hasRecord = inPlaceRecord_read((folder + inPlace_kSwapRecordSuffix).c_str(), &record);
    if (hasRecord < 0)
        return 0;
    if (hasRecord == 0 || record.version == 0 ||
        !TInPlaceRecordedNames(record, bootId).isOld(inPlace_look(real->c_str())))
        return 1;
    dpatch_printf("NOTE: \"%s\" is the folder an earlier in-place run moved aside; working on \"%s\"\n", real->c_str(),
                  folder.c_str());
    *real = folder;
    return 1;
}
