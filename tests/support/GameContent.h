#pragma once

#include "FileTree.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class TestUpdateServer;

// Game files as the update server publishes them, made with the same tools a release is made
// with: the BLAKE3 digest from b3sum, the blob from the zstd command-line tool.
//
//     const QJsonObject entry = GameContent::publishFile(server, "Pelwinter/Content/a.pak", bytes, 3);
//     // {"path": ..., "validation_hash": <b3sum hex>, "resource": {"hash", "parts": 3, "size"}}
namespace GameContent
{
// Lower-case hex digest of data as b3sum prints it; empty when b3sum can't be run.
QString b3sumHex(const QByteArray& data);

// Stores the zstd-compressed bytes of content as a blob of the given number of parts and returns
// the manifest entry for path. The blob is named after the digest of its compressed bytes.
QJsonObject publishFile(TestUpdateServer& server, const QString& path, const QByteArray& content, int parts = 1);

// publishFile for every file of a tree; the manifest's "files" of a version made of it.
QJsonArray publishFiles(TestUpdateServer& server, const FileTree::Entries& tree);

// The manifest entries of every file below installDir, digests by one b3sum run over the tree, as
// a branch whose files are all installed lists them; the resources are named by 64 hex digits (of
// the path) and are never published, so a run that asks for one fails. Empty when b3sum fails.
QJsonArray listInstalledFiles(const QString& installDir);
} // namespace GameContent
