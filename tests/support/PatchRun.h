#pragma once
// Running the patch engine on test data: one "HDIFF13" patch through recording memory streams inside
// a guarded memory range, and reading every cover out of a cover source. Header-only: the helpers call
// the engine, which only the patch tests link.

#include "GuardedMemory.h"
#include "PatchWriter.h"
#include "RecordingInputStream.h"
#include "SequentialOutputStream.h"
#include "patch/core/compressed_diff.h"
#include "patch/core/compressed_patch.h"
#include "patch/core/decompress_plugin.h"

#include <QByteArray>
#include <QList>
#include <QPair>

struct PatchOutcome
{
    bool ok = false;
    QByteArray written;
    bool sequential = true;   // every write started where the previous one ended
    bool guardsIntact = true; // nothing outside the memory range was touched
    QList<QPair<quint64, quint64>> oldReads;
};

inline PatchOutcome applyCompressedDiff(const QByteArray& oldData, quint64 newSize, const QByteArray& diff,
                                        const dpatch_TDecompressPlugin* plugin, size_t memSize)
{
    RecordingInputStream old(oldData);
    RecordingInputStream diffStream(diff);
    SequentialOutputStream out(newSize);
    GuardedMemory mem(memSize);
    PatchOutcome outcome;
    outcome.ok =
        patch_decompress_with_cache(out.stream(), old.stream(), diffStream.stream(), plugin, mem.begin(), mem.end());
    outcome.written = out.written();
    outcome.sequential = out.sequential;
    outcome.guardsIntact = mem.guardsIntact();
    outcome.oldReads = old.reads;
    return outcome;
}

// Reads covers until none is left; *ok is false if a read failed.
inline QList<PatchCover> readAllCovers(dpatch_TCovers* covers, bool* ok = nullptr)
{
    QList<PatchCover> result;
    bool allRead = true;
    while (covers->leaveCoverCount(covers) > 0) {
        dpatch_TCover cover;
        if (!covers->readCover(covers, &cover)) {
            allRead = false;
            break;
        }
        result.append({cover.oldPos, cover.newPos, cover.length});
    }
    if (ok != nullptr)
        *ok = allRead;
    return result;
}
