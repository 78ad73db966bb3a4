#pragma once

#include "jobs/ByteBlocks.h"
#include "jobs/PartStore.h"

#include <vector>

// Writes each part straight into its place in one output file as it arrives, for a resource of known
// size. Where a part begins is not known from the outset (the server splits its blobs as it likes): the
// job works it out from the lengths the parts' answers announce and tells the store with place(). Until
// then the part's bytes wait, in memory while the blocks they fill take at most waitingMemoryLimit
// bytes over all parts, beyond that in a file of the part's own beside the output, which the kernel
// copies into place once the part's start is known. Nothing is joined at the end; a retried part writes
// its bytes again from its start.
class FileRangesPartStore : public PartStore
{
public:
    FileRangesPartStore(QString outputPath, int partCount, qint64 waitingMemoryLimit);
    // Closes the files; a waiting file still there goes (the output file is the caller's).
    ~FileRangesPartStore() override;

    bool open() override;
    bool startAttempt(int partIndex) override;
    bool write(int partIndex, qint64 at, const QByteArray& data) override;
    // The part begins at start in the output file: what it has waiting is written there, and its
    // later bytes go there directly. Once per part.
    bool place(int partIndex, qint64 start);
    // The file the part's current attempt waits in; empty while it waits in memory, or is placed.
    QString waitingFile(int partIndex) const;
    bool finish() override;
    // What the parts brought: a part that came short leaves a gap the file's length doesn't show.
    qint64 joinedSize() const override;
    void discard() override;

private:
    // The blocks that hold waiting bytes: a few of them fill the limit, yet few writes place them.
    static constexpr qint64 waitingBlockSize = qint64(1) << 20;

    struct Part
    {
        explicit Part(qint64 blockSize) : waiting(blockSize) {}
        qint64 start = -1;   // in the output file; -1 until placed
        qint64 written = 0;  // bytes of the current attempt
        ByteBlocks waiting;  // bytes of the current attempt kept in memory until the part is placed
        int waitingFd = -1;  // or the file they are kept in
        QString waitingPath; // that file's name while it exists
    };
    bool waitInMemory(Part& part, const QByteArray& data);
    bool waitInFile(int partIndex, Part& part, const QByteArray& data);
    bool writeWaiting(Part& part, int fd, qint64 at);
    bool copyWaitingFile(Part& part);
    void dropWaiting(Part& part);

    QString outputPath;
    qint64 waitingMemoryLimit;
    int outputFd = -1;
    std::vector<Part> parts;
    qint64 waitingInMemory = 0; // memory the waiting blocks take, over all parts
};
