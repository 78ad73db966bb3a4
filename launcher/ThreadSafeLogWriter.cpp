#include "ThreadSafeLogWriter.h"

#include "BuildConfig.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>
#include <cstdio>

namespace
{
// Worker threads are never stopped, so they may still log while the writer is destroyed or
// after main has returned. The lock and the pointer to the active writer therefore live as long
// as the process: QBasicMutex needs no destructor, and the handler reads the pointer only under
// it, so no message can reach a writer that is being destroyed.
Q_CONSTINIT QBasicMutex writerMutex;
ThreadSafeLogWriter* activeLogWriter = nullptr;

const QString dashes = QString(69, '-');

QString threadColumn()
{
    QString id = "0x" + QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16);
    return id.leftJustified(6, ' ');
}

// HH:mm:ss.zzz; past 24 hours the hours simply go on counting instead of wrapping to midnight.
QString timeColumn(qint64 msecs)
{
    const qint64 hours = msecs / 3600000;
    const int minutes = int(msecs / 60000 % 60);
    const int seconds = int(msecs / 1000 % 60);
    const int millis = int(msecs % 1000);
    return QString::asprintf("%02lld:%02d:%02d.%03d", static_cast<long long>(hours), minutes, seconds, millis);
}
} // namespace

ThreadSafeLogWriter::ThreadSafeLogWriter(const QString& path, QObject* parent)
    : QObject(parent), file(path), stream(&file)
{
    const QString dir = QFileInfo(path).absolutePath();
    for (int attempt = 0; attempt < 32; ++attempt) {
        if (QDir().mkpath(dir))
            break;
        qDebug() << "Failed to create" << dir;
        QThread::msleep(static_cast<unsigned long>(BuildConfig::retryPolicy().fileOperationPauseMSecs));
    }
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);

    const QDateTime local = QDateTime::currentDateTime();
    const QDateTime utc = QDateTime::currentDateTimeUtc();
    for (const QString& line :
         {QString("Hello!"), QString("Log file started:"), local.toString("yyyy/MM/dd HH:mm:ss") + " (local)",
          utc.toString("yyyy/MM/dd HH:mm:ss") + " (UTC)", dashes}) {
        stream << line << "\n";
        stream.flush();
    }

    timer.start();
    {
        QMutexLocker lock(&writerMutex);
        activeLogWriter = this;
    }
    qInstallMessageHandler(&ThreadSafeLogWriter::logMessageHandler);
}

ThreadSafeLogWriter::~ThreadSafeLogWriter()
{
    qInstallMessageHandler(nullptr);
    {
        // Waits for a line that another thread is writing right now; after this no thread
        // touches the file, so the closing lines come last.
        QMutexLocker lock(&writerMutex);
        activeLogWriter = nullptr;
    }
    stream << dashes << "\n";
    stream.flush();
    stream << "Goodbye!"
           << "\n";
    stream.flush();
    file.close();
}

void ThreadSafeLogWriter::logMessageHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    const QString prefix = "[" + threadColumn() + "|";
    QMutexLocker lock(&writerMutex);
    ThreadSafeLogWriter* writer = activeLogWriter;
    if (!writer) {
        // Raced with the destructor: the handler was still installed when the message was
        // emitted. Hand it to the standard error stream like the default handler would.
        lock.unlock();
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        return;
    }
    const QString line = prefix + timeColumn(writer->timer.elapsed()) + "] " + message + "\n";
    writer->stream << line;
    writer->stream.flush();
}
