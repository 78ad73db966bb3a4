#pragma once

#include "updater/InstallReceipt.h"

#include <QJsonObject>
#include <QString>

// The receipt of the install a swap is about to put in place, on disk before anything moves, so that
// at every moment the next start can tell which version the install folder holds without hashing it.
//
// Before the swap's first rename the new receipt (its version, branch and the records it will hold) is
// bound to the folder that is to become the install, the staging folder, whose renames keep its
// identity, and written as a receipt temporary beside the receipt, flushed to disk together with the
// folder that holds it. When that fails (a full disk), the swap must not happen:
//     const QString pending = writePendingInstallReceipt(installReceiptPath(), next, stagingDirPath());
// Once the staging folder is the install, the pending receipt is renamed over the receipt; the new
// receipt costs the swap that one rename:
//     publishPendingInstallReceipt(pending, installReceiptPath(), next, installTargetPath(), storedReceipt);
// A swap that goes back drops it: discardPendingInstallReceipt(pending).
//
// A run cut short in between leaves the pending receipt beside the receipt, which still describes the
// old install. At start, once an install moved aside is back in place and before the receipt is read,
// the receipt temporary bound to the install folder replaces the receipt, and every other one goes:
//     settleInstallReceipt(installReceiptPath(), installTargetPath());
// Where none is bound to it (the swap never happened, or the folder was copied or restored by hand),
// the receipt stays as it is.
//
// The binding is the key "installFolderIdentity" of the receipt: {"device", "inode", "boot"}, the
// folder's device and inode numbers in decimal and the boot they were read in. An earlier build reads
// such a receipt as any other and keeps the key it does not know.

// Binds receipt to folder (links followed) and writes it beside the receipt at receiptPath, flushed:
// the pending receipt's path, or an empty text when it can't be written (nothing is left behind).
QString writePendingInstallReceipt(const QString& receiptPath, QJsonObject& receipt, const QString& folder);

// Renames the pending receipt, which holds receipt, over the receipt at receiptPath once installFolder
// is the folder it is bound to; stored then follows the file. False when the rename fails: the pending
// receipt is then still there, and the next start takes it.
bool publishPendingInstallReceipt(const QString& pending, const QString& receiptPath, const QJsonObject& receipt,
                                  const QString& installFolder, StoredInstallReceipt& stored);

void discardPendingInstallReceipt(const QString& pending);

// At start: the receipt temporary bound to installFolder (links followed) replaces the receipt at
// receiptPath; the others, and what interrupted saves left, are removed (regular files only). Each
// step is logged.
void settleInstallReceipt(const QString& receiptPath, const QString& installFolder);
