#pragma once

#include <QJsonArray>
#include <QString>

// The launcher's own temporary files, each made beside the file it stands for and named
//
//     <file name> + ".pelwinter-launcher-" + <random, lower-case base 36> + "." + <role>
//
// so that a later run can tell them from everything else and remove those a killed run left:
// a repair's download ("download", and its parts "download.part<N>") and decompressed file
// ("repair") inside the install, and the receipt's new content ("receipt") beside the receipt.
// Inside the install such names belong to the launcher: the hash walk never takes them for game
// files, and a manifest that names one is refused (see firstLauncherTemporaryIn), since a game
// file of that name would be removed as a left-over.
namespace LauncherTemporaries
{
// A fresh name beside path for the given role: path + ".pelwinter-launcher-" + random + "." + role.
QString pathBeside(const QString& path, const QString& role);

// Whether fileName (a name without folders) is a repair's temporary: a download, one of its parts or
// a decompressed file, named as pathBeside names them.
bool isRepairTemporary(const QString& fileName);
// The same for a name as the file system gives it; cheap for the names of game files.
bool isRepairTemporary(const char* fileName);

// Whether fileName is a temporary of the receipt whose file name is receiptName.
bool isReceiptTemporary(const QString& fileName, const QString& receiptName);

// The first "path" of the manifest entries in files whose file name is a repair's temporary, or
// an empty text when none is.
QString firstLauncherTemporaryIn(const QJsonArray& files);
} // namespace LauncherTemporaries
