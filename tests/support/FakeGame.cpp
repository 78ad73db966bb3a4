#include "FakeGame.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace FakeGame
{
QString executablePath(const QString& installDir, Kind kind)
{
    const QString name = kind == Kind::Server ? "PelwinterServer-Linux-Shipping" : "Pelwinter-Linux-Shipping";
    return installDir + "/Pelwinter/Binaries/Linux/" + name;
}

QString installFrom(const QString& scriptPath, const QString& installDir, Kind kind)
{
    const QString path = executablePath(installDir, kind);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile::copy(scriptPath, path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                    QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                    QFileDevice::ExeOther);
    return path;
}

Record readRecord(const QString& recordPath, int timeoutMSecs)
{
    Record record;
    QDeadlineTimer deadline(timeoutMSecs);
    while (!QFile::exists(recordPath) && !deadline.hasExpired())
        QThread::msleep(20);
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly))
        return record;
    QList<QByteArray> items = file.readAll().split('\0');
    if (!items.isEmpty() && items.last().isEmpty())
        items.removeLast();
    record.found = true;
    if (!items.isEmpty())
        record.pid = items.takeFirst().toLongLong();
    for (const QByteArray& item : items)
        record.arguments.append(QString::fromUtf8(item));
    return record;
}
} // namespace FakeGame
