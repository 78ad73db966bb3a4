#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// Addresses of the update server and the lenient reading of its JSON documents.
//
// Addresses, all under the built-in base address (BuildConfig::updateBaseUrl(), for example
// "https://updates.example/update"):
//     branchManifestUrl(base, "Main", "linux")  ->  base + "/manifest-main-linux.json"
//     blobUrl(base, hash)                       ->  base + "/blobs/" + hash
// RetrieveFileJob fetches a blob of P > 1 parts from blobUrl + "_0" ... blobUrl + "_<P-1>".
//
// Reading rules. Documents are never validated; every look-up is by key on a QJsonObject, an
// absent key is a null value, and values are converted with the framework's lenient calls:
//     value.toObject() / value.toArray()   the value, or an empty object / array
//     value.toString()                     the text, or "" for anything but a string
//     value.toInt(default)                 a whole JSON number in the signed 32-bit range, else default
//                                          (so "required": 6.5 reads as the default 5)
//     readSize(value)                      a byte count: any whole number from 0 up to 2^63 - 1,
//                                          else 0 (use it for every "size": blobs may be larger than
//                                          2 GiB, and a full game patch easily is)
// Where a reader must test a type first (a node's "version" must be a string, the local
// manifest needs a "hash" that is a string), BlobResource and findPatchTreeNode say so.
//
// Version labels ("version", "target") are opaque and only ever compared for exact,
// case-sensitive equality.

QString branchManifestUrl(const QString& baseUrl, const QString& branch, const QString& platformName);
QString blobUrl(const QString& baseUrl, const QString& hash);

// A "size": whole numbers of any magnitude a file can have; fractions, negatives, texts and
// absent keys read as 0 ("any length is accepted").
qint64 readSize(const QJsonValue& value);

// a + b for two sizes from readSize, held at the largest qint64 instead of wrapping: a manifest
// may hold sizes near 2^63, and a sum that wraps to a negative count would read as "small".
qint64 addSizes(qint64 a, qint64 b);

// A BlobResource {"hash", "parts", "size"} as the downloaders read it:
//     const BlobResource blob = BlobResource::fromJson(node["manifest_resource"]);
//     if (blob.isObject && blob.hashIsString)
//         new RetrieveManifestJob(&networkManager, blob.url(base), "Local Manifest", blob.parts, blob.size, nullptr);
struct BlobResource
{
    bool isObject = false;     // the value was a JSON object at all
    bool hashIsString = false; // "hash" was a string (the local manifest requires one)
    QString hash;              // "hash" as text, "" otherwise
    int parts = 0;             // "parts" with toInt(0); below 1 the download fails at once
    qint64 size = 0;           // "size" with readSize; 0: any joined length is accepted

    static BlobResource fromJson(const QJsonValue& value);
    QString url(const QString& baseUrl) const { return blobUrl(baseUrl, hash); }
};

// The first element of branchManifest["patch_tree_nodes"] (in array order) whose "version" is a
// string equal to version; an empty object when there is none or "patch_tree_nodes" is not an
// array. A node whose "version" is a number never matches, even with the same digits.
QJsonObject findPatchTreeNode(const QJsonObject& branchManifest, const QString& version);
