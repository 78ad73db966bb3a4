#include "PatchWriter.h"

#include <QRandomGenerator>
#include <zstd.h>

namespace
{
void appendCopyRun(QByteArray* ctrl, QByteArray* code, const QByteArray& bytes, qsizetype from, qsizetype length)
{
    if (length == 0)
        return;
    ctrl->append(PatchWriter::packUInt(quint64(length - 1), 2, 3));
    code->append(bytes.mid(from, length));
}
} // namespace

QByteArray PatchWriter::packUInt(quint64 value, int tagBit, int tag)
{
    const int valueBits = 7 - tagBit;
    // Seven-bit groups from the bottom; what is left goes into the first byte.
    QByteArray tail;
    while (valueBits < 64 && (value >> valueBits) != 0) {
        tail.prepend(char(value & 0x7F));
        value >>= 7;
    }
    for (qsizetype i = 0; i + 1 < tail.size(); ++i)
        tail[i] = char(tail[i] | 0x80);
    const quint32 more = tail.isEmpty() ? 0 : (1u << valueBits);
    const quint32 first = (quint32(tag) << (8 - tagBit)) | more | quint32(value);
    return QByteArray(1, char(first & 0xFF)) + tail;
}

QByteArray PatchWriter::encodeCovers(const QList<PatchCover>& covers)
{
    QByteArray out;
    quint64 oldPosBack = 0;
    quint64 newPosBack = 0;
    for (const PatchCover& cover : covers) {
        if (cover.oldPos >= oldPosBack)
            out += packUInt(cover.oldPos - oldPosBack, 1, 0);
        else
            out += packUInt(oldPosBack - cover.oldPos, 1, 1);
        out += packUInt(cover.newPos - newPosBack);
        out += packUInt(cover.length);
        newPosBack = cover.newPos + cover.length;
        oldPosBack = cover.oldPos + cover.length;
    }
    return out;
}

QByteArray PatchWriter::differenceBytes(const PatchCase& patchCase)
{
    QByteArray out(patchCase.newData.size(), '\0');
    for (const PatchCover& cover : patchCase.covers) {
        for (quint64 i = 0; i < cover.length; ++i)
            out[qsizetype(cover.newPos + i)] = char(quint8(patchCase.newData[qsizetype(cover.newPos + i)]) -
                                                    quint8(patchCase.oldData[qsizetype(cover.oldPos + i)]));
    }
    return out;
}

QByteArray PatchWriter::newDataOutsideCovers(const PatchCase& patchCase)
{
    QByteArray out;
    quint64 pos = 0;
    for (const PatchCover& cover : patchCase.covers) {
        out += patchCase.newData.mid(qsizetype(pos), qsizetype(cover.newPos - pos));
        pos = cover.newPos + cover.length;
    }
    out += patchCase.newData.mid(qsizetype(pos));
    return out;
}

void PatchWriter::encodeRle(const QByteArray& bytes, QByteArray* ctrl, QByteArray* code, int maxRun)
{
    const qsizetype limit = maxRun > 0 ? maxRun : bytes.size() + 1;
    qsizetype copyFrom = 0;
    qsizetype i = 0;
    while (i < bytes.size()) {
        qsizetype j = i;
        while (j < bytes.size() && bytes[j] == bytes[i] && j - i < limit)
            ++j;
        const qsizetype run = j - i;
        if (run >= 3) {
            for (qsizetype from = copyFrom; from < i; from += limit)
                appendCopyRun(ctrl, code, bytes, from, qMin(limit, i - from));
            const quint8 value = quint8(bytes[i]);
            if (value == 0)
                ctrl->append(packUInt(quint64(run - 1), 2, 0));
            else if (value == 0xFF)
                ctrl->append(packUInt(quint64(run - 1), 2, 1));
            else {
                ctrl->append(packUInt(quint64(run - 1), 2, 2));
                code->append(char(value));
            }
            copyFrom = j;
        }
        i = j;
    }
    for (qsizetype from = copyFrom; from < bytes.size(); from += limit)
        appendCopyRun(ctrl, code, bytes, from, qMin(limit, bytes.size() - from));
}

QByteArray PatchWriter::zstdFrame(const QByteArray& data)
{
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(data.size()))), '\0');
    const size_t size = ZSTD_compress(out.data(), size_t(out.size()), data.constData(), size_t(data.size()), 3);
    Q_ASSERT(!ZSTD_isError(size));
    out.resize(qsizetype(size));
    return out;
}

QByteArray PatchWriter::CompressedDiff::headBytes() const
{
    QByteArray out = QByteArray("HDIFF13&") + compressType + QByteArray(1, '\0');
    for (quint64 number : head)
        out += packUInt(number);
    return out;
}

QByteArray PatchWriter::CompressedDiff::bytes() const
{
    QByteArray out = headBytes();
    for (const QByteArray& section : sections)
        out += section;
    return out;
}

qsizetype PatchWriter::CompressedDiff::sectionOffset(int section) const
{
    qsizetype offset = headBytes().size();
    for (int i = 0; i < section; ++i)
        offset += sections[size_t(i)].size();
    return offset;
}

PatchWriter::CompressedDiff PatchWriter::compressedDiff(const PatchCase& patchCase, int compressMask, int maxRun)
{
    QByteArray ctrl;
    QByteArray code;
    encodeRle(differenceBytes(patchCase), &ctrl, &code, maxRun);
    const std::array<QByteArray, kSectionCount> decoded = {encodeCovers(patchCase.covers), ctrl, code,
                                                           newDataOutsideCovers(patchCase)};
    CompressedDiff diff;
    diff.compressType = compressMask != 0 ? QByteArray("zstd") : QByteArray();
    diff.head[CompressedDiff::kNewDataSizeIndex] = quint64(patchCase.newData.size());
    diff.head[CompressedDiff::kOldDataSizeIndex] = quint64(patchCase.oldData.size());
    diff.head[CompressedDiff::kCoverCountIndex] = quint64(patchCase.covers.size());
    for (int section = 0; section < kSectionCount; ++section) {
        const QByteArray& data = decoded[size_t(section)];
        const bool compressed = (compressMask >> section) & 1;
        diff.sections[size_t(section)] = compressed ? zstdFrame(data) : data;
        diff.head[size_t(CompressedDiff::decodedSizeIndex(section))] = quint64(data.size());
        diff.head[size_t(CompressedDiff::compressedSizeIndex(section))] =
            compressed ? quint64(diff.sections[size_t(section)].size()) : 0;
    }
    return diff;
}

QByteArray PatchWriter::rawDiff(const PatchCase& patchCase)
{
    QByteArray lengths;
    QByteArray incNewPos;
    QByteArray incOldPos;
    quint64 oldPosBack = 0;
    quint64 newPosBack = 0;
    for (const PatchCover& cover : patchCase.covers) {
        lengths += packUInt(cover.length);
        incNewPos += packUInt(cover.newPos - newPosBack);
        if (cover.oldPos >= oldPosBack)
            incOldPos += packUInt(cover.oldPos - oldPosBack, 1, 0);
        else
            incOldPos += packUInt(oldPosBack - cover.oldPos, 1, 1);
        newPosBack = cover.newPos + cover.length;
        oldPosBack = cover.oldPos; // the raw layout does not add the length
    }
    const QByteArray newData = newDataOutsideCovers(patchCase);
    QByteArray ctrl;
    QByteArray code;
    encodeRle(differenceBytes(patchCase), &ctrl, &code);
    QByteArray out = packUInt(quint64(patchCase.covers.size())) + packUInt(quint64(lengths.size())) +
                     packUInt(quint64(incNewPos.size())) + packUInt(quint64(incOldPos.size())) +
                     packUInt(quint64(newData.size()));
    out += lengths + incNewPos + incOldPos + newData;
    out += packUInt(quint64(ctrl.size())) + ctrl + code;
    return out;
}

PatchCase PatchWriter::randomCase(quint32 seed, int oldSize, int newSize, int coverCount, bool zeroLengthCovers)
{
    QRandomGenerator random(seed);
    PatchCase result;
    result.oldData.resize(oldSize);
    for (qsizetype i = 0; i < result.oldData.size(); ++i)
        result.oldData[i] = char(random.bounded(256));
    result.newData.resize(newSize);
    for (qsizetype i = 0; i < result.newData.size(); ++i)
        result.newData[i] = char(random.bounded(256));
    if (oldSize == 0 || newSize == 0)
        return result;

    // Spread the covers over the new data with gaps between them (sometimes none).
    const qint64 slot = qMax<qint64>(1, newSize / qMax(1, coverCount));
    quint64 pos = 0;
    for (int n = 0; n < coverCount && pos < quint64(newSize); ++n) {
        const quint64 gap = random.bounded(4) == 0 ? 0 : random.bounded(quint32(qMax<qint64>(1, slot / 3)));
        const quint64 newPos = qMin(pos + gap, quint64(newSize));
        const quint64 room = qMin(quint64(newSize) - newPos, quint64(oldSize));
        if (room == 0)
            break;
        const quint64 length = 1 + random.bounded(quint32(qMin<quint64>(room, quint64(qMax<qint64>(1, slot)))));
        const quint64 oldPos = random.bounded(quint32(quint64(oldSize) - length + 1));
        if (zeroLengthCovers && random.bounded(3) == 0)
            result.covers.append({quint64(random.bounded(quint32(oldSize))), newPos, 0});
        result.covers.append({oldPos, newPos, length});
        // New bytes inside the cover: the old ones plus stretches of equal, 0xFF, other constant and
        // random differences, so that every run type of the code appears.
        quint64 i = 0;
        while (i < length) {
            const quint32 kind = random.bounded(20);
            quint64 stretch = 0;
            quint8 constant = 0;
            bool randomBytes = false;
            if (kind < 12) {
                stretch = 1 + random.bounded(64);
            } else if (kind < 15) {
                stretch = 1 + random.bounded(16);
                randomBytes = true;
            } else {
                stretch = 3 + random.bounded(20);
                constant = kind < 17 ? 0xFF : quint8(1 + random.bounded(254));
            }
            for (quint64 k = 0; k < stretch && i < length; ++k, ++i) {
                const quint8 oldByte = quint8(result.oldData[qsizetype(oldPos + i)]);
                const quint8 delta = randomBytes ? quint8(random.bounded(256)) : constant;
                result.newData[qsizetype(newPos + i)] = char(quint8(oldByte + delta));
            }
        }
        pos = newPos + length;
    }
    return result;
}
