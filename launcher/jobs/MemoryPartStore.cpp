#include "MemoryPartStore.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

MemoryPartStore::MemoryPartStore(int partCount)
{
    partData.reserve(size_t(partCount));
    for (int i = 0; i < partCount; ++i)
        partData.emplace_back(blockSize);
}

bool MemoryPartStore::startAttempt(int partIndex)
{
    partData[size_t(partIndex)].clear();
    return true;
}

bool MemoryPartStore::write(int partIndex, qint64, const QByteArray& data)
{
    return partData[size_t(partIndex)].append(data.constData(), data.size()) || failForMemory();
}

bool MemoryPartStore::finish()
{
    qint64 mergedSize = 0;
    for (const ByteBlocks& data : partData)
        mergedSize += data.size();
    // Memory that can't be had fails the download, as a file that can't be written does.
    try {
        merged = mergedSize > 0 ? QByteArray(mergedSize, Qt::Uninitialized) : QByteArray();
    } catch (const std::bad_alloc&) {
        discard();
        return failForMemory();
    }
    char* to = merged.data();
    for (ByteBlocks& data : partData) {
        data.drain([&to](const char* block, qint64 count) {
            std::memcpy(to, block, size_t(count));
            to += count;
            return true;
        });
    }
    return true;
}

qint64 MemoryPartStore::joinedSize() const
{
    return merged.size();
}

QByteArray MemoryPartStore::takeJoined()
{
    return std::move(merged);
}

// The memory the download needs can't be had: there is no file to name.
bool MemoryPartStore::failForMemory()
{
    return fail(QString(), QString::fromLocal8Bit(std::strerror(ENOMEM)));
}

void MemoryPartStore::discard()
{
    for (ByteBlocks& data : partData)
        data.clear();
    merged = QByteArray();
}
