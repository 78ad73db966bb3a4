#include "support/FileTree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTest>

FileTree::Entry FileTree::file(const QByteArray& content, bool executable)
{
    Entry entry;
    entry.content = content;
    entry.executable = executable;
    return entry;
}

FileTree::Entry FileTree::dir()
{
    Entry entry;
    entry.isDir = true;
    return entry;
}

bool FileTree::write(const QString& root, const Entries& entries)
{
    if (!QDir().mkpath(root))
        return false;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        const QString path = root + '/' + it.key();
        if (it->isDir) {
            if (!QDir().mkpath(path))
                return false;
            continue;
        }
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(it->content) != it->content.size())
            return false;
        file.close();
        QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        if (it->executable)
            permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        if (!file.setPermissions(permissions))
            return false;
    }
    return true;
}

FileTree::Entries FileTree::read(const QString& root)
{
    Entries entries;
    const QDir rootDir(root);
    if (!rootDir.exists())
        return entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QString relative = rootDir.relativeFilePath(path);
        if (info.isDir()) {
            entries.insert(relative + '/', dir());
            continue;
        }
        QFile file(path);
        Entry entry;
        if (file.open(QIODevice::ReadOnly))
            entry.content = file.readAll();
        entry.executable = info.permissions() & QFileDevice::ExeOwner;
        entries.insert(relative, entry);
    }
    return entries;
}

int FileTree::openDescriptorCount()
{
    return int(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

int FileTree::openDescriptorsBelow(const QString& root)
{
    const QString prefix = QFileInfo(root).canonicalFilePath() + '/';
    int count = 0;
    const QDir fdDir("/proc/self/fd");
    for (const QString& name : fdDir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (QFileInfo(fdDir.filePath(name)).symLinkTarget().startsWith(prefix))
            ++count;
    }
    return count;
}

char* toString(const FileTree::Entry& entry)
{
    if (entry.isDir)
        return QTest::toString("dir");
    const QByteArray text = (entry.executable ? "exec file " : "file ") + entry.content.left(64).toHex(' ') +
                            (entry.content.size() > 64 ? " ..." : "");
    return qstrdup(text.constData());
}
