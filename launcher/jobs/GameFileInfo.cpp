#include "jobs/GameFileInfo.h"

namespace
{

// Text as QString::number writes a 64-bit value: an optional minus, then digits without a leading
// zero (or "0" alone), within range. Those are parsed here directly; anything else is left to the
// framework's lenient reading.
bool parseCanonicalNumber(QStringView text, qint64& value)
{
    const bool negative = text.startsWith(u'-');
    const QStringView digits = negative ? text.mid(1) : text;
    if (digits.isEmpty() || digits.size() > 19 || (digits.size() > 1 && digits[0] == u'0') ||
        (negative && digits == u"0"))
        return false;
    quint64 magnitude = 0;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9')
            return false;
        magnitude = magnitude * 10 + quint64(c.unicode() - u'0');
    }
    if (magnitude > quint64(std::numeric_limits<qint64>::max()) + (negative ? 1 : 0))
        return false;
    value = negative ? qint64(0 - magnitude) : qint64(magnitude);
    return true;
}

qint64 readNumber(const QJsonValue& value, bool& canonical)
{
    const QString text = value.toString();
    qint64 number = 0;
    if (value.isString() && parseCanonicalNumber(text, number))
        return number;
    canonical = false;
    // toLongLong gives 0 for text that is not a number, as wanted.
    return text.toLongLong();
}

int hexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

// 64 lower-case hex digits, as toJson writes them, decoded directly; null otherwise.
QByteArray decodeCanonicalHash(const QString& text)
{
    if (text.size() != 64)
        return QByteArray();
    QByteArray bytes(32, Qt::Uninitialized);
    const QChar* in = text.constData();
    char* out = bytes.data();
    for (int i = 0; i < 32; ++i) {
        const int high = hexDigit(in[2 * i].unicode());
        const int low = hexDigit(in[2 * i + 1].unicode());
        if (high < 0 || low < 0)
            return QByteArray();
        out[i] = char(high << 4 | low);
    }
    return bytes;
}

QByteArray readHash(const QJsonValue& value, bool& canonical)
{
    const QString text = value.toString();
    if (value.isString()) {
        if (QByteArray bytes = decodeCanonicalHash(text); !bytes.isNull())
            return bytes;
    }
    canonical = false;
    return QByteArray::fromHex(text.toLatin1());
}

} // namespace

QJsonObject GameFileInfo::toJson(const QString& relativePath, qint64 size, qint64 lastModified, const QByteArray& hash)
{
    return QJsonObject{
        {"path", relativePath},
        {"size", QString::number(size)},
        {"lastModified", QString::number(lastModified)},
        {"hash", QString::fromLatin1(hash.toHex())},
    };
}

CachedFileInfo GameFileInfo::cachedFileInfo(const QJsonValue& record, QString* path)
{
    const QJsonObject object = record.toObject();
    const QJsonValue pathValue = object.value(QLatin1String("path"));
    CachedFileInfo info;
    info.canonical = object.size() == 4 && pathValue.isString();
    info.size = readNumber(object.value(QLatin1String("size")), info.canonical);
    info.lastModified = readNumber(object.value(QLatin1String("lastModified")), info.canonical);
    info.hash = readHash(object.value(QLatin1String("hash")), info.canonical);
    if (path)
        *path = pathValue.toString();
    return info;
}

QByteArray GameFileInfo::decodeHash(const QString& text)
{
    QByteArray bytes = decodeCanonicalHash(text);
    return bytes.isNull() ? QByteArray::fromHex(text.toUtf8()) : bytes;
}
