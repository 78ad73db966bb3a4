#include "updater/PendingInstallReceipt.h"
#include "updater/Updater.h"

#include <QDebug>
#include <QFileInfo>
#include <QMessageBox>
#include <functional>

// The swap that ends each patch: the receipt of the new install is written ahead, the old install is
// moved aside, the staging directory takes its place, the receipt written ahead replaces the old one
// and the old install goes. A swap cut short is put right at the next start.

namespace
{
// Headless there is nobody to ask: a removal or move that keeps failing is given up after this many
// passes (each is 32 tries, 100 ms apart), and the run ends as after Abort.
constexpr int kHeadlessPasses = 3;

// Runs one step of the install swap in passes until a pass succeeds. After a failed pass the window
// asks whether to try again; headless, passes repeat up to kHeadlessPasses. False when the user
// answers anything but Retry, or the headless passes are used up.
bool runSwapStep(bool headless, const std::function<bool()>& pass, const std::function<void()>& logFailure,
                 const QString& problem)
{
    for (int passes = 1;; ++passes) {
        if (pass())
            return true;
        logFailure();
        const bool giveUp = headless ? passes >= kHeadlessPasses
                                     : QMessageBox::warning(nullptr, "Failed to remove old installation!",
                                                            problem + "\n\nPlease close it and then try again.",
                                                            QMessageBox::Retry | QMessageBox::Abort,
                                                            QMessageBox::NoButton) != QMessageBox::Retry;
        if (giveUp)
            return false;
        qDebug() << "User requested more retries.";
    }
}
} // namespace

void Updater::applyPatchJobFinished(int id)
{
    // For a linked install the folder that is swapped is the link's target: the link stays as it
    // is and leads to the new install once it is in place.
    const QString installDir = installTargetPath();
    const QString aside = asideDirPath();
    const QString staging = stagingDirPath();

    // The receipt of the new install is on disk before anything moves, bound to the staging folder,
    // whose renames keep it the same folder: from the moment that folder is the install, the next
    // start takes this receipt for it, however the run ends. Without it the swap must not happen, or a
    // run cut short after it would take the new install for the old version, validate it against the
    // old files and patch it again. The old install and its receipt then stay as they are.
    QJsonObject receiptOfSwap = installReceipt;
    receiptOfSwap["version"] = versionAfterPatches(patchApplied.count(true) + 1);
    receiptOfSwap["branch"] = branch;
    const QString pendingReceipt = writePendingInstallReceipt(installReceiptPath(), receiptOfSwap, staging);
    if (pendingReceipt.isEmpty()) {
        qDebug() << "Failed to write install receipt.";
        applyPatchJobFailed(id);
        return;
    }

    // The old install is moved aside rather than removed, so that it comes back if the move of the
    // new one fails or the run is killed in between (the next start restores it).
    qDebug() << "Removing old install.";
    const bool movedAside = runSwapStep(
        headless,
        [&] {
            return entryMissing(installDir) || (removeDirWithRetries(aside) && renameWithRetries(installDir, aside));
        },
        [&] { qDebug() << "Failed to remove old install" << installDir; },
        "Another program running on your computer is preventing the launcher from deleting \"" + installDir + "\".");
    if (!movedAside) {
        discardPendingInstallReceipt(pendingReceipt);
        applyPatchJobFailed(id);
        return;
    }

    qDebug() << "Moving new install into place.";
    const bool movedIn = runSwapStep(
        headless, [&] { return renameWithRetries(staging, installDir); },
        [&] { qDebug() << "Failed to move new install into place."; },
        "Another program running on your computer is preventing the launcher from moving \"" + staging + "\".");
    if (!movedIn) {
        discardPendingInstallReceipt(pendingReceipt);
        // The old install goes back where it was; were that to fail too, the next start does it.
        if (!entryMissing(aside) && !renameWithRetries(aside, installDir))
            qDebug() << "Failed to restore old install from" << aside;
        applyPatchJobFailed(id);
        return;
    }

    // The receipt written ahead takes the old one's place before the old install goes: removing that
    // may take seconds. Should the rename fail, the receipt written ahead stays, and the next start
    // takes it.
    patchApplied[id] = true;
    applying = false;
    installReceipt = receiptOfSwap;
    qDebug() << (publishPendingInstallReceipt(pendingReceipt, installReceiptPath(), installReceipt, installDir,
                                              storedReceipt)
                     ? "Saved install receipt."
                     : "Failed to write install receipt.");

    if (!entryMissing(aside) && !removeDirWithRetries(aside))
        qDebug() << "Failed to remove previous install" << aside;

    if (patchApplied.count(true) < patchQueue.size())
        applyNextPatch();
    else
        patchingFinished();
}

bool Updater::restoreAsideInstall()
{
    const QString installDir = installTargetPath();
    const QString aside = asideDirPath();
    if (entryMissing(aside))
        return true;
    // Only a folder is an install the swap moved aside; a stray file or link there is removed.
    const QFileInfo asideInfo(aside);
    if (entryMissing(installDir) && asideInfo.isDir() && !asideInfo.isSymLink()) {
        qDebug() << "Restoring the install an interrupted update moved aside:" << aside;
        return renameWithRetries(aside, installDir);
    }
    qDebug() << "Removing the previous install left over by an interrupted update:" << aside;
    return removeDirWithRetries(aside);
}
