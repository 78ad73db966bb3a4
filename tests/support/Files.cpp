#include "Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    const bool written = QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
                         file.write(content) == content.size();
    // Benchmarks link this too; only a test function has a result to fail.
    if (!written && QTest::currentTestFunction())
        QTest::qVerify(false, "writeFile(path, content)", qPrintable("cannot write " + path), __FILE__, __LINE__);
    return written;
}

QByteArray readFile(const QString& path, const QByteArray& whenUnreadable)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : whenUnreadable;
}
