#pragma once

#include <QtGlobal>
#include <functional>
#include <vector>

// Bytes kept in blocks of one size, each mapped from the kernel on its own. Kept bytes never move: nothing
// grows by reallocation, so no byte is ever held twice, and a block let go leaves the process at once,
// whatever the allocator would have kept for later. What the blocks take is known beforehand
// (mappingFor), so that a caller can hold several of them to a limit.
class ByteBlocks
{
public:
    explicit ByteBlocks(qint64 blockSize);
    ~ByteBlocks();
    ByteBlocks(ByteBlocks&& other) noexcept;
    ByteBlocks& operator=(ByteBlocks&& other) noexcept;
    ByteBlocks(const ByteBlocks&) = delete;
    ByteBlocks& operator=(const ByteBlocks&) = delete;

    qint64 size() const { return bytes; }
    // The memory the blocks take, whole blocks.
    qint64 mapped() const { return qint64(blocks.size()) * blockSize; }
    // How much mapped() grows by when count more bytes are kept.
    qint64 mappingFor(qint64 count) const;
    // Keeps count more bytes; false, with nothing more kept, when the memory can't be had.
    bool append(const char* data, qint64 count);
    // Hands the bytes to take a block at a time, in order, letting each block go once it is taken; stops at
    // the first take that returns false. Either way the blocks are all let go: nothing is kept after.
    bool drain(const std::function<bool(const char* data, qint64 count)>& take);
    void clear();

private:
    qint64 blockSize;
    std::vector<char*> blocks;
    qint64 bytes = 0;
};
