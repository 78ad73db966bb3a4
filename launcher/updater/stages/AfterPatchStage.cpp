#include "updater/Updater.h"

// After the last patch: rehash the new install, record it in the receipt, recheck it and launch.

void Updater::patchingFinished()
{
}

void Updater::rehashGameFilesJobFinished(QStringList, QByteArrayList, QJsonArray)
{
}

void Updater::recheckInstallDone(QStringList)
{
}
