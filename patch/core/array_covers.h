#pragma once
// Covers held in memory as an array: the planner loads the diff's covers into it, and the patch then reads
// them back through the dpatch_TCovers operations. 16-byte items when both data sizes fit in 32 bits, else
// 32-byte items.

#include "patch/core/compressed_diff.h"
#include "patch/core/dpatch_types.h"

// cachePos is the offset of a cached cover's old bytes in the old-data cache.
typedef struct _TCoverItem32
{
    uint32_t oldPos;
    uint32_t newPos;
    uint32_t length;
    uint32_t cachePos;
} _TCoverItem32;

typedef struct _TCoverItem64
{
    uint64_t oldPos;
    uint64_t newPos;
    uint64_t length;
    uint64_t cachePos;
} _TCoverItem64;

typedef struct _TArrayCovers
{
    dpatch_TCovers base;
    void* items;
    dpatch_StreamPos_t coverCount;
    dpatch_StreamPos_t curIndex; // next item to hand out
    int32_t is32;
} _TArrayCovers;

// Both item widths seen through one interface, so that what walks the items is written once.
struct _TCoverItems
{
    void* items;
    BOOL is32;

    size_t size() const { return is32 ? sizeof(_TCoverItem32) : sizeof(_TCoverItem64); }
    dpatch_StreamPos_t oldPos(dpatch_StreamPos_t i) const
    {
        return is32 ? ((_TCoverItem32*)items)[i].oldPos : ((_TCoverItem64*)items)[i].oldPos;
    }
    dpatch_StreamPos_t newPos(dpatch_StreamPos_t i) const
    {
        return is32 ? ((_TCoverItem32*)items)[i].newPos : ((_TCoverItem64*)items)[i].newPos;
    }
    dpatch_StreamPos_t length(dpatch_StreamPos_t i) const
    {
        return is32 ? ((_TCoverItem32*)items)[i].length : ((_TCoverItem64*)items)[i].length;
    }
    dpatch_StreamPos_t cachePos(dpatch_StreamPos_t i) const
    {
        return is32 ? ((_TCoverItem32*)items)[i].cachePos : ((_TCoverItem64*)items)[i].cachePos;
    }
    void set(dpatch_StreamPos_t i, const dpatch_TCover& cover) const
    {
        if (is32) {
            _TCoverItem32& item = ((_TCoverItem32*)items)[i];
            item.oldPos = (uint32_t)cover.oldPos;
            item.newPos = (uint32_t)cover.newPos;
            item.length = (uint32_t)cover.length;
            item.cachePos = 0;
        } else {
            _TCoverItem64& item = ((_TCoverItem64*)items)[i];
            item.oldPos = cover.oldPos;
            item.newPos = cover.newPos;
            item.length = cover.length;
            item.cachePos = 0;
        }
    }
    void setCachePos(dpatch_StreamPos_t i, dpatch_StreamPos_t cachePos) const
    {
        if (is32)
            ((_TCoverItem32*)items)[i].cachePos = (uint32_t)cachePos;
        else
            ((_TCoverItem64*)items)[i].cachePos = cachePos;
    }
};

// Fills the operations; the items are handed out from the first.
void _arrayCovers_init(_TArrayCovers* self, void* items, dpatch_StreamPos_t coverCount, BOOL is32);
dpatch_StreamPos_t _arrayCovers_leaveCoverCount(const dpatch_TCovers* covers);
BOOL _arrayCovers_readCover(dpatch_TCovers* covers, dpatch_TCover* out_cover);
BOOL _arrayCovers_isFinish(const dpatch_TCovers* covers);
