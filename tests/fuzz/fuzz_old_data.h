#pragma once
// The old data the fuzz targets patch, generated from its size alone so that it is not part of the
// fuzz input. The seed corpus is written against the same data.

#include "patch/core/dpatch_types.h"

#include <vector>

inline std::vector<dpatch_byte> fuzzOldData(dpatch_StreamPos_t size)
{
    std::vector<dpatch_byte> data(static_cast<size_t>(size));
    uint32_t state = 0x9E3779B9u;
    for (size_t i = 0; i < data.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = dpatch_byte(state >> 24);
    }
    return data;
}
