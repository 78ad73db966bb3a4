#pragma once

// What the two patch drivers (directory and single file) share: the one cache they allocate per run
// and the wall clock for their timing notes.

#include "patch/core/dpatch_types.h"

#include <stddef.h>

// Seconds since the epoch, 0 when the clock can't be read.
double dpatch_clockSeconds();

// Allocates the run's cache for old data of oldSize bytes: all old data plus spare room when
// loadOldAll is set, else cacheSize (at least 32 KiB, at most the old data plus 2 MiB). Halves the
// request while allocation fails; returns 0 once it would drop below 64 KiB. The caller frees it.
unsigned char* dpatch_allocPatchCache(dpatch_StreamPos_t oldSize, BOOL loadOldAll, size_t cacheSize,
                                      size_t* outCacheSize);

// True when a cache of cacheSize bytes holds all old data, so the old files need not stay open.
BOOL dpatch_cacheHoldsOldData(size_t cacheSize, dpatch_StreamPos_t oldSize);
