#include "updater/InstallReceipt.h"
#include "updater/Updater.h"

#include <QDebug>
#include <QJsonValue>

// The receipt's version and branch are set and the receipt written here, by the stages that leave
// the install at a version: the up-to-date check and the end of patching. Each swap writes the
// receipt of the version it puts in place ahead of it (see InstallSwap.cpp).

QString Updater::versionAfterPatches(qsizetype applied)
{
    // The receipt must name the version the install is really at, so that a run interrupted in the
    // middle of a chain resumes from the last patch that was applied: follow the chain from the
    // installed version over every applied patch. A full install, a finished chain and an install
    // found up to date are at the branch's current version.
    if (!fullInstall && applied < patchQueue.size()) {
        QString version = installedVersion;
        for (qsizetype i = 0; i < applied; ++i)
            version = findPatchTreeNode(version).value("target").toString();
        return version;
    }
    return branchManifest.value("current_game_manifest").toObject().value("version").toString();
}

void Updater::saveInstallReceipt()
{
    installReceipt["version"] = versionAfterPatches(patchApplied.count(true));
    installReceipt["branch"] = branch;

    // An install found up to date writes back the receipt it read; that costs nothing.
    qDebug() << (writeInstallReceipt(installReceiptPath(), installReceipt, storedReceipt)
                     ? "Saved install receipt."
                     : "Failed to write install receipt.");
}
