#include "updater/Updater.h"

// Stage 3 up to the patch queue: the gate, the install check outcome, repair, full install and
// the patch chain.

void Updater::tryBeginPatchStage()
{
}

void Updater::beginPatchStage()
{
}

void Updater::checkInstallDone(QStringList)
{
}

void Updater::repairInstallJobFinished()
{
}

void Updater::repairInstallJobFailed()
{
}

void Updater::installFullGame()
{
}

void Updater::buildPatchChain()
{
}

void Updater::queuePatch(QJsonObject)
{
}
