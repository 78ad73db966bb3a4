#pragma once

#include "jobs/ByteBlocks.h"
#include "jobs/PartStore.h"

#include <vector>

// Keeps each part in memory and joins them in index order: for manifests and other resources the
// caller wants as bytes. The parts grow in blocks (nothing is reallocated as they grow) and are joined
// once, into an array of the joined size, each block let go as soon as it is copied: the download never
// takes much more memory than its bytes, however they arrive.
class MemoryPartStore : public PartStore
{
public:
    explicit MemoryPartStore(int partCount);

    // Each part's blocks: small enough that the one being copied when the parts are joined adds little.
    static constexpr qint64 blockSize = qint64(1) << 20;

    bool startAttempt(int partIndex) override;
    bool write(int partIndex, qint64 at, const QByteArray& data) override;
    bool finish() override;
    qint64 joinedSize() const override;
    QByteArray takeJoined() override;
    void discard() override;

private:
    bool failForMemory();

    std::vector<ByteBlocks> partData; // what each part's current attempt has brought
    QByteArray merged;
};
