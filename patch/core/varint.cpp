#include "patch/core/varint.h"

namespace
{
// A further 7-bit group would push a value of this size or more past 64 bits.
const dpatch_StreamPos_t kMaxValueBeforeShift = (dpatch_StreamPos_t)1 << 57;
const unsigned int kMaxTagBit = 7;
} // namespace

size_t _dpatch_decodeUIntWithTag(const dpatch_byte* code, const dpatch_byte* code_end, dpatch_StreamPos_t* out_value,
                                 unsigned int kTagBit)
{
    if (kTagBit > kMaxTagBit || code == nullptr || code >= code_end)
        return 0;
    const unsigned int valueBits = 7 - kTagBit;
    const dpatch_byte* p = code;
    unsigned int b = *p++;
    dpatch_StreamPos_t value = b & ((1u << valueBits) - 1);
    BOOL more = (b >> valueBits) & 1;
    while (more) {
        if (value >= kMaxValueBeforeShift || p == code_end)
            return 0;
        b = *p++;
        value = (value << 7) | (b & 0x7F);
        more = (b & 0x80) != 0;
    }
    *out_value = value;
    return (size_t)(p - code);
}

BOOL dpatch_unpackUIntWithTag(const dpatch_byte** src_code, const dpatch_byte* src_code_end,
                              dpatch_StreamPos_t* out_value, unsigned int kTagBit)
{
    dpatch_StreamPos_t value = 0;
    size_t used = _dpatch_decodeUIntWithTag(*src_code, src_code_end, &value, kTagBit);
    if (used == 0)
        return 0;
    *src_code += used;
    *out_value = value;
    return 1;
}

unsigned int dpatch_packUIntWithTag_outSize(dpatch_StreamPos_t value, unsigned int kTagBit)
{
    const unsigned int valueBits = kTagBit > kMaxTagBit ? 0 : 7 - kTagBit;
    unsigned int count = 1;
    while ((value >> valueBits) != 0) {
        value >>= 7;
        ++count;
    }
    return count;
}

BOOL dpatch_packUIntWithTag(dpatch_byte** out_code, dpatch_byte* out_code_end, dpatch_StreamPos_t value,
                            unsigned int highTag, unsigned int kTagBit)
{
    if (kTagBit > kMaxTagBit || (highTag >> kTagBit) != 0)
        return 0;
    dpatch_byte* out = *out_code;
    const unsigned int count = dpatch_packUIntWithTag_outSize(value, kTagBit);
    if (out == nullptr || out > out_code_end || (size_t)(out_code_end - out) < count)
        return 0;
    for (unsigned int i = count - 1; i > 0; --i) {
        out[i] = (dpatch_byte)((value & 0x7F) | (i == count - 1 ? 0 : 0x80));
        value >>= 7;
    }
    const unsigned int valueBits = 7 - kTagBit;
    const unsigned int moreBit = count > 1 ? (1u << valueBits) : 0;
    out[0] = (dpatch_byte)(((highTag << valueBits) << 1) | moreBit | (unsigned int)value);
    *out_code = out + count;
    return 1;
}
