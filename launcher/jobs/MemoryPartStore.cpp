#include "MemoryPartStore.h"

#include <utility>

MemoryPartStore::MemoryPartStore(int partCount) : partData(partCount) {}

bool MemoryPartStore::startAttempt(int partIndex)
{
    partData[partIndex].clear();
    return true;
}

bool MemoryPartStore::write(int partIndex, qint64, const QByteArray& data)
{
    partData[partIndex].append(data);
    return true;
}

bool MemoryPartStore::finish()
{
    if (partData.size() == 1) {
        merged = std::move(partData[0]);
        return true;
    }
    qint64 mergedSize = 0;
    for (const QByteArray& data : std::as_const(partData))
        mergedSize += data.size();
    merged.reserve(mergedSize);
    for (QByteArray& data : partData) {
        merged.append(data);
        data = QByteArray(); // each part's memory goes as soon as it is copied
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
    partData = QList<QByteArray>(partData.size());
    merged = QByteArray();
}
