#include "updater/InstallReceipt.h"
#include "updater/Updater.h"

#include <QDebug>
#include <QJsonValue>

// The receipt's version and branch are set and the receipt written here, by every stage that
// leaves the install at a version: the up-to-date check, each swap and the end of patching.

void Updater::saveInstallReceipt()
{
    // The receipt must name the version the install is really at, so that a run interrupted in the
    // middle of a chain resumes from the last patch that was applied: follow the chain from the
    // installed version over every applied patch. A full install, a finished chain and an install
    // found up to date are at the branch's current version.
    QString version = branchManifest.value("current_game_manifest").toObject().value("version").toString();
    const qsizetype applied = patchApplied.count(true);
    if (!fullInstall && applied < patchQueue.size()) {
        version = installedVersion;
        for (qsizetype i = 0; i < applied; ++i)
            version = findPatchTreeNode(version).value("target").toString();
    }
    installReceipt["version"] = version;
    installReceipt["branch"] = branch;

    // An install found up to date writes back the receipt it read; that costs nothing.
    qDebug() << (writeInstallReceipt(installReceiptPath(), installReceipt, storedReceipt)
                     ? "Saved install receipt."
                     : "Failed to write install receipt.");
}
