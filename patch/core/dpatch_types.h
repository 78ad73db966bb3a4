#pragma once
// Base types of the patch engine: the boolean result, the stream position and the two stream
// records through which every algorithm reads and writes. Everything above this header sees data
// only through these tables, so memory, files, windows and decompressed sections look alike.

#include <cstddef>
#include <cstdint>

// Every step of the engine answers 1 for success and 0 for failure.
typedef int32_t BOOL;
static const BOOL dpatch_TRUE = 1;
static const BOOL dpatch_FALSE = 0;

typedef unsigned char dpatch_byte;

// Position, size and count in a stream. Arithmetic on it wraps modulo 2^64, so every value taken
// from a diff is range-checked before it is added to another.
typedef uint64_t dpatch_StreamPos_t;

// Cache size of every clip that reads a head.
static const size_t dpatch_kStreamCacheSize = 4096;

typedef struct dpatch_TStreamInput
{
    void* streamOwner;
    dpatch_StreamPos_t streamSize;
    // Fills [out_data, out_data_end) with the bytes from readFromPos on; 0 unless done completely.
    BOOL(*read)
    (const struct dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
     dpatch_byte* out_data_end);
} dpatch_TStreamInput;

typedef struct dpatch_TStreamOutput
{
    void* streamOwner;
    dpatch_StreamPos_t streamSize;
    // Reads bytes already written.
    BOOL(*readBack)
    (const struct dpatch_TStreamOutput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
     dpatch_byte* out_data_end);
    BOOL(*write)
    (const struct dpatch_TStreamOutput* stream, dpatch_StreamPos_t writeToPos, const dpatch_byte* data,
     const dpatch_byte* data_end);
} dpatch_TStreamOutput;

// Carving records out of a caller's memory range needs them at an 8-byte boundary.
inline dpatch_byte* _dpatch_alignUp(dpatch_byte* p, size_t alignment)
{
    const uintptr_t value = (uintptr_t)p;
    return p + ((alignment - value % alignment) % alignment);
}

inline dpatch_byte* _dpatch_alignDown(dpatch_byte* p, size_t alignment)
{
    return p - ((uintptr_t)p % alignment);
}
