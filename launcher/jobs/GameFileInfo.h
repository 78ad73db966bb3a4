#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// In-memory form of one record of the receipt's "gameFiles": what the last hash run saw of a
// file, so that an unchanged file can reuse its digest without being opened. The time is kept as
// milliseconds since the epoch: two times are the same instant exactly when these are equal, and
// a number costs nothing to compare where a date-time object with a time zone would.
struct CachedFileInfo
{
    qint64 size = 0;
    qint64 lastModified = 0;
    QByteArray hash;
    // The record is exactly what toJson writes for these values, so it can be written back as it is.
    bool canonical = false;
};

// The receipt's record of one hashed game file: {"path", "size", "lastModified", "hash"}, all four
// as strings (relative path, decimal byte count, decimal milliseconds since the epoch, lower-case
// hex digest). Reading is lenient: anything missing or malformed reads as 0, the epoch or no
// bytes, which simply never matches a real file and so makes it hashed again.
class GameFileInfo
{
public:
    static QJsonObject toJson(const QString& relativePath, qint64 size, qint64 lastModified, const QByteArray& hash);
    // Reads one record; its "path" goes to *path when path is given.
    static CachedFileInfo cachedFileInfo(const QJsonValue& record, QString* path = nullptr);
    // Digest bytes from hex text, as QByteArray::fromHex reads it (either case, characters that are
    // not hex digits skipped, any length), with 64 lower-case digits taken the short way.
    static QByteArray decodeHash(const QString& text);
};
