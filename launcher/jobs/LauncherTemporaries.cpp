#include "jobs/LauncherTemporaries.h"

#include "jobs/ParallelSlices.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QJsonValue>
#include <QRandomGenerator>
#include <atomic>
#include <cstring>

namespace
{
const char marker[] = ".pelwinter-launcher-";

// Whether text is a random part as pathBeside makes it: 1 to 13 digits or lower-case letters (a
// 64-bit number in base 36).
bool isRandomPart(QStringView text)
{
    if (text.isEmpty() || text.size() > 13)
        return false;
    for (QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z')))
            return false;
    }
    return true;
}

bool isRepairRole(QStringView role)
{
    if (role == u"download" || role == u"repair")
        return true;
    const QStringView part = u"download.part";
    if (!role.startsWith(part) || role.size() == part.size())
        return false;
    for (QChar c : role.mid(part.size())) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

// Splits fileName as "<owner><marker><random>.<role>" with a non-empty owner; the last marker counts.
bool split(QStringView fileName, QStringView* owner, QStringView* role)
{
    const qsizetype at = fileName.lastIndexOf(QLatin1String(marker));
    if (at <= 0)
        return false;
    const QStringView rest = fileName.mid(at + qsizetype(sizeof marker) - 1);
    const qsizetype dot = rest.indexOf(u'.');
    if (dot < 0 || !isRandomPart(rest.left(dot)))
        return false;
    *owner = fileName.left(at);
    *role = rest.mid(dot + 1);
    return true;
}
} // namespace

namespace LauncherTemporaries
{
QString pathBeside(const QString& path, const QString& role)
{
    return path + QLatin1String(marker) + QString::number(QRandomGenerator::global()->generate64(), 36) +
           QLatin1Char('.') + role;
}

bool isRepairTemporary(const QString& fileName)
{
    QStringView owner;
    QStringView role;
    return split(fileName, &owner, &role) && isRepairRole(role);
}

bool isRepairTemporary(const char* fileName)
{
    return std::strstr(fileName, marker) && isRepairTemporary(QFile::decodeName(fileName));
}

bool isReceiptTemporary(const QString& fileName, const QString& receiptName)
{
    QStringView owner;
    QStringView role;
    return split(fileName, &owner, &role) && role == u"receipt" && owner == receiptName;
}

QString firstLauncherTemporaryIn(const QJsonArray& files)
{
    // A large manifest is read on several threads, each from a copy of its own; the first entry wins.
    const qsizetype count = files.size();
    std::atomic<qsizetype> first{count};
    forEachSlice(count, [&](qsizetype from, qsizetype to) {
        const QJsonArray entries = files;
        for (qsizetype i = from; i < to && i < first.load(); ++i) {
            const QString path = entries.at(i).toObject().value(QLatin1String("path")).toString();
            if (!path.contains(QLatin1String(marker)))
                continue;
            const QString clean = QDir::cleanPath(path);
            if (!isRepairTemporary(clean.mid(clean.lastIndexOf(QLatin1Char('/')) + 1)))
                continue;
            qsizetype seen = first.load();
            while (i < seen && !first.compare_exchange_weak(seen, i)) {
            }
            break;
        }
    });
    return first < count ? files.at(first).toObject().value(QLatin1String("path")).toString() : QString();
}
} // namespace LauncherTemporaries
