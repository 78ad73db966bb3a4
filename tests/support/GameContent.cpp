#include "GameContent.h"

#include "TestUpdateServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>

namespace GameContent
{
QString b3sumHex(const QByteArray& data)
{
    QProcess b3sum;
    b3sum.start("b3sum", {"--no-names"});
    if (!b3sum.waitForStarted())
        return QString();
    b3sum.write(data);
    b3sum.closeWriteChannel();
    if (!b3sum.waitForFinished() || b3sum.exitCode() != 0)
        return QString();
    return QString::fromLatin1(b3sum.readAllStandardOutput().trimmed());
}

QJsonObject publishFile(TestUpdateServer& server, const QString& path, const QByteArray& content, int parts)
{
    const QByteArray blob = TestUpdateServer::zstdCompress(content, true);
    const QString hash = b3sumHex(blob);
    server.putBlob(hash, blob, parts);
    return QJsonObject{
        {"path", path},
        {"validation_hash", b3sumHex(content)},
        {"resource", QJsonObject{{"hash", hash}, {"parts", parts}, {"size", blob.size()}}},
    };
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace GameContent
