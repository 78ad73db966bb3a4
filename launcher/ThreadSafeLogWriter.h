#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTextStream>

// Turns every diagnostic message of the process, from any thread, into one line of the log
// file, which it rewrites on construction. Installs itself as the process-wide message handler
// and restores the default handler when destroyed.
class ThreadSafeLogWriter : public QObject
{
    Q_OBJECT
public:
    explicit ThreadSafeLogWriter(const QString& path, QObject* parent = nullptr);
    ~ThreadSafeLogWriter() override;

    static void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

private:
    QFile file;
    QTextStream stream;
    QElapsedTimer timer;
};
