#include "GameContent.h"

#include "TestUpdateServer.h"

#include <QCryptographicHash>
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

QJsonArray listInstalledFiles(const QString& installDir)
{
    QProcess b3sum;
    b3sum.setWorkingDirectory(installDir);
    b3sum.start("sh", {"-c", "find . -type f -printf '%P\\0' | xargs -0 b3sum"});
    if (!b3sum.waitForFinished(600000) || b3sum.exitCode() != 0)
        return QJsonArray();
    QJsonArray files;
    for (const QByteArray& line : b3sum.readAllStandardOutput().split('\n')) {
        if (line.size() < 67)
            continue;
        const QString path = QString::fromUtf8(line.mid(66));
        const QString resourceHash =
            QString::fromLatin1(QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex());
        files.append(QJsonObject{
            {"path", path},
            {"validation_hash", QString::fromLatin1(line.left(64))},
            {"resource", QJsonObject{{"hash", resourceHash}, {"parts", 1}, {"size", 4096}}},
        });
    }
    return files;
}
} // namespace GameContent

QJsonArray GameContent::publishFiles(TestUpdateServer& server, const FileTree::Entries& tree)
{
    QJsonArray files;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (!it->isDir)
            files.append(publishFile(server, it.key(), it->content));
    }
    return files;
}
