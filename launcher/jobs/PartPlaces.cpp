#include "PartPlaces.h"

PartPlaces::PartPlaces(int partCount, qint64 size)
    : size(size), lengths(partCount, qint64(-1)), starts(partCount, qint64(-1))
{}

qint64 PartPlaces::lengthsBesides(int partIndex) const
{
    qint64 sum = 0;
    for (qsizetype i = 0; i < lengths.size(); ++i) {
        if (i != partIndex && lengths[i] >= 0)
            sum += lengths[i];
    }
    return sum;
}

qint64 PartPlaces::limit(int partIndex) const
{
    return lengths[partIndex] >= 0 ? lengths[partIndex] : roomFor(partIndex);
}

void PartPlaces::setLength(int partIndex, qint64 length)
{
    lengths[partIndex] = length;
}

QList<int> PartPlaces::placeNew()
{
    QList<int> placed;
    const int partCount = int(lengths.size());
    for (int i = 0; i < partCount; ++i) {
        if (starts[i] >= 0)
            continue;
        qint64 before = 0;
        int j = 0;
        for (; j < i && lengths[j] >= 0; ++j)
            before += lengths[j];
        qint64 start = j == i ? before : -1;
        if (start < 0) {
            qint64 from = 0;
            int k = partCount - 1;
            for (; k >= i && lengths[k] >= 0; --k)
                from += lengths[k];
            if (k < i)
                start = size - from;
        }
        if (start < 0)
            continue;
        starts[i] = start;
        placed.append(i);
    }
    return placed;
}
