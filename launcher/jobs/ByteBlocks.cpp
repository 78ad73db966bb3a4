#include "ByteBlocks.h"

#include <cstring>
#include <sys/mman.h>
#include <utility>

ByteBlocks::ByteBlocks(qint64 blockSize) : blockSize(qMax<qint64>(1, blockSize)) {}

ByteBlocks::~ByteBlocks()
{
    clear();
}

ByteBlocks::ByteBlocks(ByteBlocks&& other) noexcept
    : blockSize(other.blockSize), blocks(std::exchange(other.blocks, {})), bytes(std::exchange(other.bytes, 0))
{}

ByteBlocks& ByteBlocks::operator=(ByteBlocks&& other) noexcept
{
    if (this != &other) {
        clear();
        blockSize = other.blockSize;
        blocks = std::exchange(other.blocks, {});
        bytes = std::exchange(other.bytes, 0);
    }
    return *this;
}

qint64 ByteBlocks::mappingFor(qint64 count) const
{
    const qint64 room = mapped() - bytes;
    if (count <= room)
        return 0;
    return (count - room + blockSize - 1) / blockSize * blockSize;
}

bool ByteBlocks::append(const char* data, qint64 count)
{
    const size_t blocksBefore = blocks.size();
    const qint64 bytesBefore = bytes;
    while (count > 0) {
        if (bytes == mapped()) {
            void* block =
                ::mmap(nullptr, size_t(blockSize), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (block == MAP_FAILED) {
                // Nothing of this call is kept: the blocks it mapped go, and what it copied is forgotten.
                while (blocks.size() > blocksBefore) {
                    ::munmap(blocks.back(), size_t(blockSize));
                    blocks.pop_back();
                }
                bytes = bytesBefore;
                return false;
            }
            blocks.push_back(static_cast<char*>(block));
        }
        const qint64 at = bytes - qint64(blocks.size() - 1) * blockSize;
        const qint64 piece = qMin(count, blockSize - at);
        std::memcpy(blocks.back() + at, data, size_t(piece));
        data += piece;
        count -= piece;
        bytes += piece;
    }
    return true;
}

bool ByteBlocks::drain(const std::function<bool(const char* data, qint64 count)>& take)
{
    bool taken = true;
    qint64 left = bytes;
    for (char* block : blocks) {
        const qint64 count = qMin(left, blockSize);
        taken = taken && take(block, count);
        left -= count;
        ::munmap(block, size_t(blockSize));
    }
    blocks.clear();
    bytes = 0;
    return taken;
}

void ByteBlocks::clear()
{
    for (char* block : blocks)
        ::munmap(block, size_t(blockSize));
    blocks.clear();
    bytes = 0;
}
