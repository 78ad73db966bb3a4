#include "GuardedMemory.h"

namespace
{
// A multiple of 8 keeps the range as aligned as the vector's storage.
const size_t kGuardSize = 64;
const dpatch_byte kGuardByte = 0xA5;
} // namespace

GuardedMemory::GuardedMemory(size_t size) : buffer(size + 2 * kGuardSize, kGuardByte), size(size) {}

dpatch_byte* GuardedMemory::begin()
{
    return buffer.data() + kGuardSize;
}

dpatch_byte* GuardedMemory::end()
{
    return begin() + size;
}

bool GuardedMemory::guardsIntact() const
{
    for (size_t i = 0; i < kGuardSize; ++i) {
        if (buffer[i] != kGuardByte || buffer[kGuardSize + size + i] != kGuardByte)
            return false;
    }
    return true;
}
