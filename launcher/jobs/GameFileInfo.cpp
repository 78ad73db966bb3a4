#include "jobs/GameFileInfo.h"

QJsonObject GameFileInfo::toJson(const QString& relativePath, qint64 size, const QDateTime& lastModified,
                                 const QByteArray& hash)
{
    return QJsonObject{
        {"path", relativePath},
        {"size", QString::number(size)},
        {"lastModified", QString::number(lastModified.toMSecsSinceEpoch())},
        {"hash", QString::fromLatin1(hash.toHex())},
    };
}

QString GameFileInfo::path(const QJsonValue& record)
{
    return record.toObject().value("path").toString();
}

CachedFileInfo GameFileInfo::cachedFileInfo(const QJsonValue& record)
{
    const QJsonObject object = record.toObject();
    CachedFileInfo info;
    // toLongLong gives 0 for text that is not a number, as wanted.
    info.size = object.value("size").toString().toLongLong();
    info.lastModified = QDateTime::fromMSecsSinceEpoch(object.value("lastModified").toString().toLongLong());
    info.hash = QByteArray::fromHex(object.value("hash").toString().toLatin1());
    return info;
}
