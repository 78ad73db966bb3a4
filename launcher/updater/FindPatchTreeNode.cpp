#include "updater/ServerFormats.h"
#include "updater/Updater.h"

QJsonObject Updater::findPatchTreeNode(QString version)
{
    return ::findPatchTreeNode(branchManifest, version);
}
