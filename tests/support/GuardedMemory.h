#pragma once
// A memory range with guard bytes on both sides, to prove the patch engine stays inside the range it
// was given.

#include "patch/core/dpatch_types.h"

#include <vector>

class GuardedMemory
{
public:
    explicit GuardedMemory(size_t size);

    dpatch_byte* begin();
    dpatch_byte* end();
    bool guardsIntact() const;

private:
    std::vector<dpatch_byte> buffer;
    size_t size;
};
