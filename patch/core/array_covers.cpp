#include "patch/core/array_covers.h"

dpatch_StreamPos_t _arrayCovers_leaveCoverCount(const dpatch_TCovers* covers)
{
    const _TArrayCovers* self = (const _TArrayCovers*)covers;
    return self->coverCount - self->curIndex;
}

BOOL _arrayCovers_readCover(dpatch_TCovers* covers, dpatch_TCover* out_cover)
{
    _TArrayCovers* self = (_TArrayCovers*)covers;
    if (self->curIndex == self->coverCount)
        return 0;
    const _TCoverItems ref = {self->items, self->is32};
    out_cover->oldPos = ref.oldPos(self->curIndex);
    out_cover->newPos = ref.newPos(self->curIndex);
    out_cover->length = ref.length(self->curIndex);
    ++self->curIndex;
    return 1;
}

BOOL _arrayCovers_isFinish(const dpatch_TCovers* covers)
{
    const _TArrayCovers* self = (const _TArrayCovers*)covers;
    return self->curIndex == self->coverCount;
}

namespace
{
BOOL _arrayCovers_close(dpatch_TCovers* /*covers*/)
{
    return 1;
}
} // namespace

void _arrayCovers_init(_TArrayCovers* self, void* items, dpatch_StreamPos_t coverCount, BOOL is32)
{
    self->base.leaveCoverCount = _arrayCovers_leaveCoverCount;
    self->base.readCover = _arrayCovers_readCover;
    self->base.isFinished = _arrayCovers_isFinish;
    self->base.close = _arrayCovers_close;
    self->items = items;
    self->coverCount = coverCount;
    self->curIndex = 0;
    self->is32 = is32;
}
