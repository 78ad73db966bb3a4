#pragma once

#include <QByteArray>
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
//     qDebug() << (writeInstallReceipt(installReceiptPath(), installReceipt, storedReceipt)
//                      ? "Saved install receipt." : "Failed to write install receipt.");
// The new content replaces the old file only once it is completely on disk: a full disk or a
// killed run leaves the previous receipt as it was, never a truncated one that would send the
// next run down the full-install road. It is written to a temporary beside the file (named as
// LauncherTemporaries names them, role "receipt"), flushed and renamed over it; a run killed
// before the rename leaves that temporary, and the next start deals with it (see
// PendingInstallReceipt.h, whose receipts written ahead of a swap are temporaries of the same kind).
struct LoadedInstallReceipt
{
    bool loaded = false;
    QJsonObject receipt;
};

// What this run knows to be in the receipt file: the object a well-formed file held when it was
// read or last written, and that file's identity (device, inode, size, modification time) at the
// time. A run that finds its install up to date would write back exactly what it read; with
// this it can tell so without serialising the records, which for a large install costs about as
// much as the rest of the run.
struct StoredInstallReceipt
{
    bool known = false;
    QJsonObject receipt;
    qint64 device = 0;
    qint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNSecs = 0;
};

LoadedInstallReceipt readInstallReceipt(const QString& path, StoredInstallReceipt* stored = nullptr);

// True when the file now holds the receipt; false (old file untouched) otherwise. A file that
// already holds exactly the new content is not rewritten.
bool writeInstallReceipt(const QString& path, const QJsonObject& receipt);

// As above, but when stored says the file still holds this very receipt (the same keys and values,
// the file not touched since), nothing is serialised or written. stored follows what is on disk.
bool writeInstallReceipt(const QString& path, const QJsonObject& receipt, StoredInstallReceipt& stored);

// Records in stored that the file at path now holds receipt, as just written or renamed there.
void noteStoredInstallReceipt(const QString& path, const QJsonObject& receipt, StoredInstallReceipt& stored);

// The file the receipt at path is kept in: where the links at path lead, so that a receipt kept as a
// link elsewhere stays one. Its temporaries are made beside that file.
QString installReceiptFile(const QString& path);

// Writes content to a new temporary beside file, with the mode file has, and flushes it to disk: the
// temporary's path, or an empty text when that fails, with nothing left behind.
QString writeInstallReceiptTemporary(const QString& file, const QByteArray& content);
