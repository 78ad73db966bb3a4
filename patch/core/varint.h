#pragma once
// Tagged varints: one unsigned 64-bit value, most significant 7-bit group first, with kTagBit bits
// of tag at the top of the first byte and a "more" bit below them.

#include "patch/core/dpatch_types.h"

// Decodes one varint from [*src_code, src_code_end) and advances *src_code past it.
BOOL dpatch_unpackUIntWithTag(const dpatch_byte** src_code, const dpatch_byte* src_code_end,
                              dpatch_StreamPos_t* out_value, unsigned int kTagBit);
// Encodes value with highTag in the tag bits at *out_code and advances it; writes nothing and fails
// when the bytes do not fit or the tag does not fit in kTagBit bits.
BOOL dpatch_packUIntWithTag(dpatch_byte** out_code, dpatch_byte* out_code_end, dpatch_StreamPos_t value,
                            unsigned int highTag, unsigned int kTagBit);
// Number of bytes the encoder writes for value.
unsigned int dpatch_packUIntWithTag_outSize(dpatch_StreamPos_t value, unsigned int kTagBit);

// Decodes one varint inside [code, code_end); the shared core of the memory and the clip decoders.
// Returns the number of bytes used, 0 on failure.
size_t _dpatch_decodeUIntWithTag(const dpatch_byte* code, const dpatch_byte* code_end, dpatch_StreamPos_t* out_value,
                                 unsigned int kTagBit);
