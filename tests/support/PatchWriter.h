#pragma once
// Test-only writer of the diff formats the patch engine reads: tagged varints (its own encoder, so the
// engine's decoder is checked against an independent one), covers, the run-length code of difference
// bytes, raw diffs and whole "HDIFF13" diffs whose four sections are each stored as is or as one zstd
// frame. A compressed diff is kept in parts so that negative tests can change a head number, a section
// or the type text before the bytes are put together. Never linked into the launcher.

#include <QByteArray>
#include <QList>
#include <array>

struct PatchCover
{
    quint64 oldPos = 0;
    quint64 newPos = 0;
    quint64 length = 0;

    bool operator==(const PatchCover& other) const = default;
};

// Old data, new data and the covers that turn one into the other.
struct PatchCase
{
    QByteArray oldData;
    QByteArray newData;
    QList<PatchCover> covers;
};

class PatchWriter
{
public:
    enum Section
    {
        CoverSection = 0,
        RleCtrlSection = 1,
        RleCodeSection = 2,
        NewDataSection = 3,
    };
    static constexpr int kSectionCount = 4;
    static constexpr int kAllSectionsCompressed = 0xF;

    // One "HDIFF13" diff in parts. head holds the eleven numbers in file order: newDataSize,
    // oldDataSize, coverCount, then decoded size and stored-compressed size (0: as is) of each section.
    struct CompressedDiff
    {
        QByteArray compressType;
        std::array<quint64, 11> head = {};
        std::array<QByteArray, kSectionCount> sections; // stored bytes

        static constexpr int kNewDataSizeIndex = 0;
        static constexpr int kOldDataSizeIndex = 1;
        static constexpr int kCoverCountIndex = 2;
        static int decodedSizeIndex(int section) { return 3 + 2 * section; }
        static int compressedSizeIndex(int section) { return 4 + 2 * section; }

        QByteArray headBytes() const;
        QByteArray bytes() const;
        // Offset of a section's stored bytes in bytes().
        qsizetype sectionOffset(int section) const;
    };

    static QByteArray packUInt(quint64 value, int tagBit = 0, int tag = 0);
    // Covers as "HDIFF13" stores them: old increments with a sign tag, oldPosBack advancing by length.
    static QByteArray encodeCovers(const QList<PatchCover>& covers);
    // One byte per new byte: new - old inside covers, 0 outside them.
    static QByteArray differenceBytes(const PatchCase& patchCase);
    // The new bytes outside the covers, in order.
    static QByteArray newDataOutsideCovers(const PatchCase& patchCase);
    // The run-length code of bytes: control and code sections. maxRun > 0 cuts every run at that
    // length, so runs continue across covers, gaps and calls of the decoder.
    static void encodeRle(const QByteArray& bytes, QByteArray* ctrl, QByteArray* code, int maxRun = 0);
    static QByteArray zstdFrame(const QByteArray& data);

    // compressMask: bit n set stores section n as one zstd frame. The type text is "zstd" when any
    // section is compressed, else empty.
    static CompressedDiff compressedDiff(const PatchCase& patchCase, int compressMask = 0, int maxRun = 0);
    // The raw layout: no magic, no compression, covers in three separate varint sections.
    static QByteArray rawDiff(const PatchCase& patchCase);

    // Random old and new data with coverCount covers that jump backwards and overlap in the old data.
    // Inside covers the new bytes are mostly old bytes with sparse changes and some filled stretches,
    // so every run type appears. zeroLengthCovers adds covers of length 0 between the others.
    static PatchCase randomCase(quint32 seed, int oldSize, int newSize, int coverCount, bool zeroLengthCovers = false);
};
