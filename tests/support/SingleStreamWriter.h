#pragma once
// Test-only writer of "HDIFFSF20" single-stream diffs, built on PatchWriter's varints, covers and zstd
// frames. The diff is kept in parts so that negative tests can change a head number or the payload
// before the bytes are put together. Raw diffs come from PatchWriter::rawDiff. Never linked into the
// launcher.

#include "PatchWriter.h"

#include <QByteArray>

class SingleStreamWriter
{
public:
    struct SingleStreamDiff
    {
        QByteArray compressType;
        quint64 newDataSize = 0;
        quint64 oldDataSize = 0;
        quint64 coverCount = 0; // the closing cover included
        quint64 maxStepSize = 0;
        quint64 uncompressedSize = 0;
        quint64 compressedSize = 0; // 0: payload stored as is
        QByteArray payload;         // stored bytes

        QByteArray headBytes() const;
        QByteArray bytes() const;
    };

    // One step: the covers it holds (the last step also gets the closing cover of length 0).
    struct Step
    {
        QByteArray coverBytes;
        QByteArray codeBytes;
        QByteArray newBytes; // the new bytes before each cover, in order
    };

    // Splits the covers (those of length 0 left out) into steps of coversPerStep (at least 1) and adds
    // the closing cover to the last one. emptyStepFirst puts a step without covers (but with stray code bytes) in
    // front.
    static QList<Step> steps(const PatchCase& patchCase, int coversPerStep, bool emptyStepFirst = false);
    static QByteArray stepBytes(const Step& step);
    // compress: the payload becomes one zstd frame and the type text "zstd".
    static SingleStreamDiff singleStreamDiff(const PatchCase& patchCase, int coversPerStep = 2, bool compress = false,
                                             bool emptyStepFirst = false);
    // The step code of difference bytes: skip length, add length, add bytes, ...
    static QByteArray stepCode(const QByteArray& difference);
};
