#include "SingleStreamWriter.h"

namespace
{
QByteArray encodeCover(const PatchCover& cover, quint64* oldPosBack, quint64* newPosBack)
{
    QByteArray out;
    if (cover.oldPos >= *oldPosBack)
        out += PatchWriter::packUInt(cover.oldPos - *oldPosBack, 1, 0);
    else
        out += PatchWriter::packUInt(*oldPosBack - cover.oldPos, 1, 1);
    out += PatchWriter::packUInt(cover.newPos - *newPosBack);
    out += PatchWriter::packUInt(cover.length);
    *oldPosBack = cover.oldPos + cover.length;
    *newPosBack = cover.newPos + cover.length;
    return out;
}
} // namespace

QByteArray SingleStreamWriter::SingleStreamDiff::headBytes() const
{
    QByteArray out = "HDIFFSF20&" + compressType;
    out += char(0);
    for (quint64 number : {newDataSize, oldDataSize, coverCount, maxStepSize, uncompressedSize, compressedSize})
        out += PatchWriter::packUInt(number);
    return out;
}

QByteArray SingleStreamWriter::SingleStreamDiff::bytes() const
{
    return headBytes() + payload;
}

QByteArray SingleStreamWriter::stepCode(const QByteArray& difference)
{
    QByteArray out;
    qsizetype i = 0;
    while (i < difference.size()) {
        qsizetype skip = 0;
        while (i + skip < difference.size() && difference[i + skip] == 0)
            ++skip;
        out += PatchWriter::packUInt(quint64(skip));
        i += skip;
        if (i == difference.size())
            break;
        qsizetype add = 0;
        while (i + add < difference.size() && difference[i + add] != 0)
            ++add;
        out += PatchWriter::packUInt(quint64(add));
        out += difference.mid(i, add);
        i += add;
    }
    return out;
}

QList<SingleStreamWriter::Step> SingleStreamWriter::steps(const PatchCase& patchCase, int coversPerStep,
                                                          bool emptyStepFirst)
{
    // Only the closing cover may have length 0; the new bytes of a dropped one join the next gap.
    QList<PatchCover> covers;
    for (const PatchCover& cover : patchCase.covers) {
        if (cover.length > 0)
            covers.append(cover);
    }
    const quint64 lastOldEnd = covers.isEmpty() ? 0 : covers.last().oldPos + covers.last().length;
    covers.append({lastOldEnd, quint64(patchCase.newData.size()), 0});
    QList<Step> result;
    if (emptyStepFirst)
        result.append({QByteArray(), QByteArray("\x05junk", 5), QByteArray()});
    quint64 oldPosBack = 0;
    quint64 newPosBack = 0;
    for (qsizetype first = 0; first < covers.size(); first += qMax(1, coversPerStep)) {
        Step step;
        QByteArray difference;
        const qsizetype end = qMin(covers.size(), first + qMax(1, coversPerStep));
        for (qsizetype c = first; c < end; ++c) {
            const PatchCover& cover = covers[c];
            step.newBytes += patchCase.newData.mid(qsizetype(newPosBack), qsizetype(cover.newPos - newPosBack));
            step.coverBytes += encodeCover(cover, &oldPosBack, &newPosBack);
            for (quint64 k = 0; k < cover.length; ++k)
                difference += char(patchCase.newData[qsizetype(cover.newPos + k)] -
                                   patchCase.oldData[qsizetype(cover.oldPos + k)]);
        }
        step.codeBytes = stepCode(difference);
        result.append(step);
    }
    return result;
}

QByteArray SingleStreamWriter::stepBytes(const Step& step)
{
    return PatchWriter::packUInt(quint64(step.coverBytes.size())) +
           PatchWriter::packUInt(quint64(step.codeBytes.size())) + step.coverBytes + step.codeBytes + step.newBytes;
}

SingleStreamWriter::SingleStreamDiff SingleStreamWriter::singleStreamDiff(const PatchCase& patchCase, int coversPerStep,
                                                                          bool compress, bool emptyStepFirst)
{
    SingleStreamDiff diff;
    diff.newDataSize = quint64(patchCase.newData.size());
    diff.oldDataSize = quint64(patchCase.oldData.size());
    diff.coverCount = 1; // the closing cover
    for (const PatchCover& cover : patchCase.covers)
        diff.coverCount += cover.length > 0 ? 1 : 0;
    QByteArray payload;
    for (const Step& step : steps(patchCase, coversPerStep, emptyStepFirst)) {
        diff.maxStepSize = qMax(diff.maxStepSize, quint64(step.coverBytes.size() + step.codeBytes.size()));
        payload += stepBytes(step);
    }
    diff.uncompressedSize = quint64(payload.size());
    if (compress) {
        diff.compressType = "zstd";
        diff.payload = PatchWriter::zstdFrame(payload);
        diff.compressedSize = quint64(diff.payload.size());
    } else {
        diff.payload = payload;
    }
    return diff;
}
