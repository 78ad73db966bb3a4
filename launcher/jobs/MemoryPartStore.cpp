#include "MemoryPartStore.h"

#include <cerrno>
#include <cstring>
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
    if (partData[size_t(partIndex)].append(data.constData(), data.size()))
        return true;
    return fail(QString(), QString::fromLocal8Bit(std::strerror(ENOMEM)));
}

bool MemoryPartStore::finish()
{
    qint64 mergedSize = 0;
    for (const ByteBlocks& data : partData)
        mergedSize += data.size();
    merged = mergedSize > 0 ? QByteArray(mergedSize, Qt::Uninitialized) : QByteArray();
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

void MemoryPartStore::discard()
{
    for (ByteBlocks& data : partData)
        data.clear();
    merged = QByteArray();
}
