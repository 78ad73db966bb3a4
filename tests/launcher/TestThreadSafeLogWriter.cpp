#include "ThreadSafeLogWriter.h"

#include <QAtomicInt>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>
#include <vector>

namespace
{
const QString dashes(69, '-');
const QRegularExpression messageLine("^\\[0x[0-9a-f]{4,}\\s*\\|(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d\\d)\\] (.*)$");

// Logging threads may still be writing when the handler is installed, so the list is shared by
// several threads at once.
QMutex capturedLock;
QStringList captured;
void captureHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    const QMutexLocker locker(&capturedLock);
    captured.append(message);
}

QStringList fileLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    return lines;
}

// Logs from a thread of its own until told to stop.
class LoggingThread : public QThread
{
public:
    LoggingThread(int id, int count, QAtomicInt* stop) : id(id), count(count), stop(stop) {}
    void run() override
    {
        for (int i = 0; (count < 0 || i < count) && !(stop && stop->loadRelaxed()); ++i)
            qDebug().noquote() << QString("thread %1 message %2 %3").arg(id).arg(i).arg(QString(40, 'x'));
    }

private:
    int id;
    int count;
    QAtomicInt* stop;
};
} // namespace

class TestThreadSafeLogWriter : public QObject
{
    Q_OBJECT
private slots:
    void writesHeaderMessagesAndFooter();
    void concurrentLinesNeverMix();
    void destructionWhileWorkersLogIsSafe();
    void unmakeableDirectoryCosts32Attempts();
};

void TestThreadSafeLogWriter::writesHeaderMessagesAndFooter()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/not/yet/there/launcher.log";
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("OLD RUN CONTENT THAT MUST DISAPPEAR\n");
    }
    {
        ThreadSafeLogWriter writer(path);
        qDebug() << "Branch:" << QString("main") << true << 5;
        qWarning("first\nsecond");
        qCritical() << "critical too";
    }
    const QStringList lines = fileLines(path);
    QCOMPARE(lines.size(), 12);
    QCOMPARE(lines[0], QString("Hello!"));
    QCOMPARE(lines[1], QString("Log file started:"));
    QVERIFY2(QRegularExpression("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d \\(local\\)$").match(lines[2]).hasMatch(),
             qPrintable(lines[2]));
    QVERIFY2(QRegularExpression("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d \\(UTC\\)$").match(lines[3]).hasMatch(),
             qPrintable(lines[3]));
    QCOMPARE(lines[4], dashes);
    const QRegularExpressionMatch first = messageLine.match(lines[5]);
    QVERIFY2(first.hasMatch(), qPrintable(lines[5]));
    QCOMPARE(first.captured(5), QString("Branch: \"main\" true 5"));
    QCOMPARE(first.captured(1), QString("00"));
    QCOMPARE(messageLine.match(lines[6]).captured(5), QString("first"));
    QCOMPARE(lines[7], QString("second")); // a line break stays inside one entry
    QCOMPARE(messageLine.match(lines[8]).captured(5), QString("critical too"));
    QCOMPARE(lines[9], dashes);
    QCOMPARE(lines[10], QString("Goodbye!"));
    QCOMPARE(lines[11], QString());

    // The default handler is back: the file no longer grows.
    qDebug() << "after the writer";
    QCOMPARE(fileLines(path), lines);
}

void TestThreadSafeLogWriter::concurrentLinesNeverMix()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/launcher.log";
    const int threads = 4;
    const int perThread = 500;
    {
        ThreadSafeLogWriter writer(path);
        std::vector<std::unique_ptr<LoggingThread>> workers;
        for (int i = 0; i < threads; ++i)
            workers.push_back(std::make_unique<LoggingThread>(i, perThread, nullptr));
        for (auto& worker : workers)
            worker->start();
        for (auto& worker : workers)
            worker->wait();
    }
    const QStringList lines = fileLines(path);
    QCOMPARE(lines.size(), 5 + threads * perThread + 3);
    QList<int> next(threads, 0);
    const QRegularExpression body("^thread (\\d) message (\\d+) x{40}$");
    for (int i = 5; i < 5 + threads * perThread; ++i) {
        const QRegularExpressionMatch line = messageLine.match(lines[i]);
        QVERIFY2(line.hasMatch(), qPrintable(lines[i]));
        const QRegularExpressionMatch message = body.match(line.captured(5));
        QVERIFY2(message.hasMatch(), qPrintable(lines[i]));
        // Each thread's lines arrive whole and in its own order.
        const int thread = message.captured(1).toInt();
        QCOMPARE(message.captured(2).toInt(), next[thread]);
        ++next[thread];
    }
}

void TestThreadSafeLogWriter::destructionWhileWorkersLogIsSafe()
{
    // Worker threads are never stopped in the launcher; they may still log while main tears
    // the writer down. No line may follow the footer and nothing may crash.
    QTemporaryDir dir;
    const QString path = dir.path() + "/launcher.log";
    QAtomicInt stop(0);
    std::vector<std::unique_ptr<LoggingThread>> workers;
    {
        auto writer = std::make_unique<ThreadSafeLogWriter>(path);
        for (int i = 0; i < 4; ++i)
            workers.push_back(std::make_unique<LoggingThread>(i, -1, &stop));
        for (auto& worker : workers)
            worker->start();
        QTRY_VERIFY(fileLines(path).size() > 200);
        writer.reset();
        // Whatever still races past the destructor must not end up on the terminal in bulk.
        qInstallMessageHandler(captureHandler);
    }
    stop.storeRelaxed(1);
    for (auto& worker : workers)
        worker->wait();
    qInstallMessageHandler(nullptr);

    const QStringList lines = fileLines(path);
    QVERIFY(lines.size() > 200);
    QCOMPARE(lines.last(), QString());
    QCOMPARE(lines[lines.size() - 2], QString("Goodbye!"));
    QCOMPARE(lines[lines.size() - 3], dashes);
    for (int i = 5; i < lines.size() - 3; ++i)
        QVERIFY2(messageLine.match(lines[i]).hasMatch(), qPrintable(lines[i]));
}

void TestThreadSafeLogWriter::unmakeableDirectoryCosts32Attempts()
{
    QTemporaryDir dir;
    QFile blocker(dir.path() + "/file");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString path = dir.path() + "/file/logs/launcher.log";

    // Until the writer is installed its messages reach whatever handler was there before.
    captured.clear();
    qInstallMessageHandler(captureHandler);
    {
        ThreadSafeLogWriter writer(path);
        qDebug() << "lost, the file is not open";
    }
    qInstallMessageHandler(nullptr);
    QStringList expected;
    for (int i = 0; i < 32; ++i)
        expected.append("Failed to create \"" + dir.path() + "/file/logs\"");
    // The framework adds its own warning about the unopened file after the attempts.
    QCOMPARE(captured.mid(0, 32), expected);
    QVERIFY(!QFile::exists(path));
}

QTEST_GUILESS_MAIN(TestThreadSafeLogWriter)
#include "TestThreadSafeLogWriter.moc"
