#pragma once
// What a later in-place run does with what a run cut short left beside R.
//
// A swap whose new tree was complete is finished, a new tree left half made is removed with its record, and
// the folder a swap moved aside, given as the old path, stands for R. Each acts only on names that are what
// their record says.

#include "patch/core/dpatch_types.h"
#include "patch/drivers/in_place_swap.h"

#include <string>

// Reads the records beside R and puts right what they tell: a swap cut short is finished, a new tree left
// half made is removed with its record. kInPlaceStart_done when the finished swap was of this diff (R already
// is its result), kInPlaceStart_refused (its line printed) when a record or a name can't be told apart or put
// right, else kInPlaceStart_patch: nothing of an earlier run is left beside R.
TInPlaceStart inPlaceRecovery_finishEarlierRun(TInPlaceSwap* self, const char* diffFile,
                                               dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize);

// An old path may lead to the folder a swap cut short moved aside, say as the working directory of a shell
// that was in R. It is told by the swap record beside it naming its identity, not by its name alone; then
// it stands for R, and *real becomes R. 0 when a record that would tell is refused: the folder is neither
// patched as it is nor taken for R.
BOOL inPlaceRecovery_takeAsideForItsFolder(std::string* real, const char* bootId);
