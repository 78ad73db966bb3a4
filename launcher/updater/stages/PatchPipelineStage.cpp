#include "updater/Updater.h"

// The patch pipeline: one download at a time in the main thread while the previous patch is
// applied on a worker thread, then the swap of the staging directory into place.

void Updater::downloadNextPatch()
{
}

void Updater::retrievePatchJobFinished(int, QByteArray)
{
}

void Updater::retrievePatchJobFailed(int)
{
}

void Updater::retrievePatchProgress(int, qlonglong)
{
}

void Updater::applyNextPatch()
{
}

void Updater::applyPatchJobFinished(int)
{
}

void Updater::applyPatchJobFailed(int)
{
}

void Updater::applyPatchProgress(int, qlonglong)
{
}
