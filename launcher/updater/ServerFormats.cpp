#include "ServerFormats.h"

#include <QJsonArray>
#include <QtNumeric>
#include <limits>

QString branchManifestUrl(const QString& baseUrl, const QString& branch, const QString& platformName)
{
    return baseUrl + "/manifest-" + branch.toLower() + "-" + platformName + ".json";
}

QString blobUrl(const QString& baseUrl, const QString& hash)
{
    return baseUrl + "/blobs/" + hash;
}

qint64 readSize(const QJsonValue& value)
{
    // toInteger keeps the whole-number rule of toInt but over 64 bits, so a 3 GiB patch is
    // checked against its real length instead of being waved through as "any size".
    const qint64 size = value.toInteger(0);
    return size < 0 ? 0 : size;
}

qint64 addSizes(qint64 a, qint64 b)
{
    qint64 sum = 0;
    return qAddOverflow(a, b, &sum) ? std::numeric_limits<qint64>::max() : sum;
}

BlobResource BlobResource::fromJson(const QJsonValue& value)
{
    BlobResource blob;
    const QJsonObject object = value.toObject();
    blob.isObject = value.isObject();
    blob.hashIsString = object["hash"].isString();
    blob.hash = object["hash"].toString();
    blob.parts = object["parts"].toInt(0);
    blob.size = readSize(object["size"]);
    return blob;
}

QJsonObject findPatchTreeNode(const QJsonObject& branchManifest, const QString& version)
{
    const QJsonValue nodes = branchManifest["patch_tree_nodes"];
    if (!nodes.isArray())
        return {};
    for (const QJsonValue& element : nodes.toArray()) {
        const QJsonObject node = element.toObject();
        const QJsonValue nodeVersion = node["version"];
        if (nodeVersion.isString() && nodeVersion.toString() == version)
            return node;
    }
    return {};
}
