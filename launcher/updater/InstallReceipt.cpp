#include "InstallReceipt.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <unistd.h>

LoadedInstallReceipt readInstallReceipt(const QString& path)
{
    LoadedInstallReceipt result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    result.loaded = true;
    result.receipt = QJsonDocument::fromJson(file.readAll()).object();
    return result;
}

namespace
{
// Whether the file at path holds exactly content.
bool holds(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() == content.size() && file.readAll() == content;
}
} // namespace

bool writeInstallReceipt(const QString& path, const QJsonObject& receipt)
{
    const QByteArray content = QJsonDocument(receipt).toJson(QJsonDocument::Indented);
    // On every start of an install that is up to date the receipt comes out as it was read; a
    // file that already holds these bytes is left alone rather than written and flushed again.
    if (holds(path, content))
        return true;
    // Unbuffered, because a buffered QSaveFile reports success for a write that the disk cut
    // short and would then put the truncated file in place of the good one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (file.write(content) != content.size() || ::fsync(file.handle()) != 0) {
        file.cancelWriting(); // the temporary file goes away with `file`
        return false;
    }
    return file.commit();
}
