#pragma once

#include <QJsonObject>
#include <QString>

// The install receipt: a JSON object {"version", "branch", "gameFiles", ...} kept beside the
// install directory (installReceiptPath(), the install directory's path + ".json").
//
// Reading, once per run:
//     const LoadedInstallReceipt loaded = readInstallReceipt(installReceiptPath());
//     if (loaded.loaded) { installReceipt = loaded.receipt; receiptLoaded = true; }
// A file that cannot be opened is no receipt (loaded false); one that opens but holds no JSON
// object is a receipt without keys (loaded true, empty object).
//
// Writing: the whole in-memory object, read at the start of the run and updated since, is
// written back as indented JSON, so keys the launcher does not know survive:
//     installReceipt["version"] = ...; installReceipt["branch"] = branch;
//     qDebug() << (writeInstallReceipt(installReceiptPath(), installReceipt)
//                      ? "Saved install receipt." : "Failed to write install receipt.");
// The new content replaces the old file only once it is completely on disk: a full disk or a
// killed run leaves the previous receipt as it was, never a truncated one that would send the
// next run down the full-install road.
struct LoadedInstallReceipt
{
    bool loaded = false;
    QJsonObject receipt;
};

LoadedInstallReceipt readInstallReceipt(const QString& path);

// True when the file now holds the receipt; false (old file untouched) otherwise. A file that
// already holds exactly the new content is not rewritten.
bool writeInstallReceipt(const QString& path, const QJsonObject& receipt);
