#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// In-memory form of one record of the receipt's "gameFiles": what the last hash run saw of a
// file, so that an unchanged file can reuse its digest without being opened.
struct CachedFileInfo
{
    qint64 size = 0;
    QDateTime lastModified;
    QByteArray hash;
};

// The receipt's record of one hashed game file: {"path", "size", "lastModified", "hash"}, all four
// as strings (relative path, decimal byte count, decimal milliseconds since the epoch, lower-case
// hex digest). Reading is lenient: anything missing or malformed reads as 0, the epoch or no
// bytes, which simply never matches a real file and so makes it hashed again.
class GameFileInfo
{
public:
    static QJsonObject toJson(const QString& relativePath, qint64 size, const QDateTime& lastModified,
                              const QByteArray& hash);
    static QString path(const QJsonValue& record);
    static CachedFileInfo cachedFileInfo(const QJsonValue& record);
};
