// Publishes a release branch the way the update server serves it, from the source trees of its
// versions in release order (the last one is the branch's current version):
//
//     publish-branch [--full-parts N] [--patch-parts N] [--fixed-size-parts] <out dir> 1.0=<tree> 1.1=<tree> ...
//
// Below <out dir>, the server's base path, it writes
//   manifest-main-linux.json  the branch manifest: the current game manifest, the launcher version,
//                             one patch tree node per older version and the current full patch;
//   blobs/<hash>              every game file of every version, zstd-compressed; the game manifest of
//                             every older version; the directory patch from each version to the next
//                             (--patch-parts, default 1) and the full patch of the current version,
//                             made against an empty tree (--full-parts, default 3). A blob of P > 1
//                             parts is stored as blobs/<hash>_0 ... _<P-1>, consecutive slices of
//                             nearly equal size (part i holds bytes S * i / P up to S * (i + 1) / P of
//                             S), or with --fixed-size-parts of ceil(S / P) bytes each, the last the
//                             rest (empty where nothing is left), as servers that cut blobs into
//                             chunks of a fixed size store them.
// Blobs are named after the BLAKE3 digest of their bytes, so publishing the next release into the
// same folder adds what is new and keeps what is there; the branch manifest is replaced last, in one
// rename, so a server never serves a manifest whose blobs are missing.
//
// The patches come from the test-only DirDiffWriter, which holds both trees and the patch in memory:
// count on about five times the size of the larger of two neighbouring versions.

#include "hasher/Blake3Tree.h"
#include "support/DirDiffWriter.h"
#include "support/PatchWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <blake3.h>
#include <cstdio>
#include <cstdlib>

namespace
{
// The launcher version this build of the launcher reports; the branch requires no newer one.
constexpr int kLauncherVersion = 5;
const char kBranchManifestName[] = "manifest-main-linux.json";

[[noreturn]] void fail(const QString& message)
{
    fprintf(stderr, "publish-branch: %s\n", qPrintable(message));
    exit(1);
}

QString digestHex(QByteArrayView data)
{
    blake3_hasher state;
    blake3_hasher_init(&state);
    hasher::blake3UpdateParallel(&state, data.data(), size_t(data.size()));
    QByteArray digest(BLAKE3_OUT_LEN, Qt::Uninitialized);
    blake3_hasher_finalize(&state, reinterpret_cast<uint8_t*>(digest.data()), size_t(digest.size()));
    return QString::fromLatin1(digest.toHex());
}

void writeFile(const QString& path, QByteArrayView content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content.data(), content.size()) != content.size() ||
        !file.commit())
        fail("cannot write " + path);
}

class Publisher
{
public:
    Publisher(const QString& outDir, bool fixedSizeParts) : blobDir(outDir + "/blobs"), fixedSizeParts(fixedSizeParts)
    {
        if (!QDir().mkpath(blobDir))
            fail("cannot create " + blobDir);
    }

    // Stores bytes as a blob of the given number of parts; returns its resource.
    QJsonObject putBlob(const QByteArray& bytes, int parts)
    {
        const QString hash = digestHex(bytes);
        const qsizetype chunk = (bytes.size() + parts - 1) / parts;
        for (int i = 0; i < parts; ++i) {
            const qsizetype begin = fixedSizeParts ? qMin(bytes.size(), chunk * i) : bytes.size() * i / parts;
            const qsizetype end = fixedSizeParts ? qMin(bytes.size(), chunk * (i + 1)) : bytes.size() * (i + 1) / parts;
            const QString path = blobDir + "/" + (parts == 1 ? hash : hash + "_" + QString::number(i));
            // The name is the digest: a blob already there with this size holds these bytes.
            if (QFileInfo(path).size() != end - begin || !QFileInfo(path).isFile())
                writeFile(path, QByteArrayView(bytes).sliced(begin, end - begin));
        }
        return QJsonObject{{"hash", hash}, {"parts", parts}, {"size", qint64(bytes.size())}};
    }

    // The game manifest's file entries for a tree, with a blob of every file.
    QJsonArray gameFiles(const QString& tree)
    {
        QStringList paths;
        QDirIterator it(tree, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext())
            paths.append(QDir(tree).relativeFilePath(it.next()));
        paths.sort();
        QJsonArray files;
        for (const QString& path : std::as_const(paths)) {
            QFile file(tree + "/" + path);
            if (!file.open(QIODevice::ReadOnly))
                fail("cannot read " + file.fileName());
            const QByteArray content = file.readAll();
            const QString validationHash = digestHex(content);
            // Unchanged files of later versions reuse the blob instead of compressing it again.
            auto resource = resourceByContent.find(validationHash);
            if (resource == resourceByContent.end())
                resource = resourceByContent.insert(validationHash, putBlob(PatchWriter::zstdFrame(content), 1));
            files.append(QJsonObject{{"path", path}, {"validation_hash", validationHash}, {"resource", *resource}});
        }
        return files;
    }

    QJsonObject putPatch(const QString& oldTree, const QString& newTree, int parts)
    {
        DirDiffWriter::Options options;
        options.compressDirData = true;
        options.compressSections = true;
        return putBlob(DirDiffWriter::build(oldTree, newTree, options).toBytes(), parts);
    }

private:
    QString blobDir;
    bool fixedSizeParts;
    QHash<QString, QJsonObject> resourceByContent;
};

struct Version
{
    QString name;
    QString tree;
};

int partsArgument(const QString& value)
{
    bool ok = false;
    const int parts = value.toInt(&ok);
    if (!ok || parts < 1)
        fail("a part count must be a whole number from 1: " + value);
    return parts;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    int fullParts = 3;
    int patchParts = 1;
    bool fixedSizeParts = false;
    while (arguments.size() >= 2 && arguments[0].startsWith("--")) {
        if (arguments[0] == "--fixed-size-parts") {
            fixedSizeParts = true;
            arguments.removeFirst();
            continue;
        }
        if (arguments[0] == "--full-parts")
            fullParts = partsArgument(arguments[1]);
        else if (arguments[0] == "--patch-parts")
            patchParts = partsArgument(arguments[1]);
        else
            fail("unknown option " + arguments[0]);
        arguments = arguments.mid(2);
    }
    if (arguments.size() < 2)
        fail("usage: publish-branch [--full-parts N] [--patch-parts N] [--fixed-size-parts] <out dir> "
             "<version>=<tree>...");
    const QString outDir = arguments.takeFirst();
    QList<Version> versions;
    for (const QString& argument : std::as_const(arguments)) {
        const qsizetype equals = argument.indexOf('=');
        const Version version{argument.left(equals), argument.mid(equals + 1)};
        if (equals <= 0 || !QFileInfo(version.tree).isDir())
            fail("not <version>=<existing folder>: " + argument);
        versions.append(version);
    }

    Publisher publisher(outDir, fixedSizeParts);
    QJsonArray nodes;
    for (qsizetype i = 0; i + 1 < versions.size(); ++i) {
        const Version& from = versions[i];
        const Version& to = versions[i + 1];
        const QByteArray manifest =
            QJsonDocument(QJsonObject{{"version", from.name}, {"files", publisher.gameFiles(from.tree)}}).toJson();
        const QJsonObject patch = publisher.putPatch(from.tree, to.tree, patchParts);
        printf("patch %s -> %s: %lld bytes\n", qPrintable(from.name), qPrintable(to.name), patch["size"].toInteger());
        nodes.append(QJsonObject{{"version", from.name},
                                 {"target", to.name},
                                 {"manifest_resource", publisher.putBlob(manifest, 1)},
                                 {"patch_resource", patch}});
    }
    const Version& current = versions.last();
    const QJsonArray currentFiles = publisher.gameFiles(current.tree);
    const QJsonObject fullPatch = publisher.putPatch(QString(), current.tree, fullParts);
    printf("full patch %s: %lld bytes in %d part(s)\n", qPrintable(current.name), fullPatch["size"].toInteger(),
           fullParts);

    const QJsonObject branch{
        {"current_game_manifest", QJsonObject{{"version", current.name}, {"files", currentFiles}}},
        {"launcher_version", QJsonObject{{"required", kLauncherVersion}, {"latest", kLauncherVersion}}},
        {"patch_tree_nodes", nodes},
        {"current_full_patch_resource", fullPatch},
    };
    writeFile(outDir + "/" + kBranchManifestName, QJsonDocument(branch).toJson());
    return 0;
}
