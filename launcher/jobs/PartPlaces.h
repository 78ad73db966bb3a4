#pragma once

#include <QList>
#include <QtGlobal>

// Where the parts of a resource of known size lie in it, worked out from their lengths as they become
// known: part i begins where parts 0 to i-1 end, or where parts i to the last begin before the end of the
// resource, whichever is known first. The lengths taken never add up to more than the size (a length that
// doesn't fit beside the others' is not taken), so places found either way never overlap, and differ only
// for parts that join to another size, which the download's final size check fails.
class PartPlaces
{
public:
    PartPlaces() = default;
    PartPlaces(int partCount, qint64 size);

    // The part's length; -1 while unknown.
    qint64 length(int partIndex) const { return lengths[partIndex]; }
    // Where the part begins; -1 while unknown.
    qint64 start(int partIndex) const { return starts[partIndex]; }
    // The lengths known of every part but this one, added up: never more than the size.
    qint64 lengthsBesides(int partIndex) const;
    // What the lengths known of the other parts leave this one of the size.
    qint64 roomFor(int partIndex) const { return size - lengthsBesides(partIndex); }
    // The most bytes the part may hold: its length once known, else the room the others leave it (exactly
    // its length once all of theirs are known).
    qint64 limit(int partIndex) const;
    // Takes the part's length, which must fit in roomFor(partIndex).
    void setLength(int partIndex, qint64 length);
    // The parts whose starts the known lengths give now and did not before, in index order.
    QList<int> placeNew();

private:
    qint64 size = 0;
    QList<qint64> lengths;
    QList<qint64> starts;
};
