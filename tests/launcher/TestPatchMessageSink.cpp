// The patch engine's messages as the launcher logs them: one debug message per completed line, prefixed
// "[dpatch]", with pieces joined per thread and per function.

#include "ThreadSafeLogWriter.h"
#include "jobs/PatchMessageSink.h"

#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

// Last: it defines a macro named check that Qt's headers must not see.
#include "patch/core/dpatch_check.h"

namespace
{
QMutex capturedMutex;
QStringList captured;

void captureHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    QMutexLocker lock(&capturedMutex);
    captured << message;
}

// Runs both functions on threads of their own at the same time and waits for both.
bool runTogether(const std::function<void()>& first, const std::function<void()>& second)
{
    std::unique_ptr<QThread> threads[2] = {std::unique_ptr<QThread>(QThread::create(first)),
                                           std::unique_ptr<QThread>(QThread::create(second))};
    for (auto& thread : threads)
        thread->start();
    bool finished = true;
    for (auto& thread : threads)
        finished = thread->wait(30000) && finished;
    return finished;
}

QStringList takeCaptured()
{
    QMutexLocker lock(&capturedMutex);
    QStringList result = captured;
    captured.clear();
    return result;
}
} // namespace

class TestPatchMessageSink : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void piecesBecomeWholeLines_data();
    void piecesBecomeWholeLines();
    void formatsLikePrintf();
    void errorAndNoteBuffersAreSeparate();
    void errorStreamArgumentIsIgnored();
    void returnsLengthInUtf16Units();
    void threadsDoNotMixLines();
    void unfinishedTextDiesWithItsThread();
    void realLogGetsWholeLines();

private:
    QtMessageHandler previousHandler = nullptr;
};

void TestPatchMessageSink::init()
{
    takeCaptured();
    previousHandler = qInstallMessageHandler(captureHandler);
}

void TestPatchMessageSink::cleanup()
{
    // Whatever a failed row left waiting must not leak into the next one.
    dpatch_printf("\n");
    dpatch_fprintf(stderr, "\n");
    qInstallMessageHandler(previousHandler);
    takeCaptured();
}

void TestPatchMessageSink::piecesBecomeWholeLines_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("header printed in two calls is one line")
        << QStringList{"dirpatch run with old path: \"", "/games/old", "\"\n"}
        << QStringList{"[dpatch] dirpatch run with old path: \"/games/old\""};
    QTest::newRow("no line feed logs nothing yet") << QStringList{"waiting", " still"} << QStringList{};
    QTest::newRow("waiting text starts the next line")
        << QStringList{"first ", "half\nsecond"} << QStringList{"[dpatch] first half"};
    QTest::newRow("several line feeds give several entries")
        << QStringList{"a\nb\n\nc\n"} << QStringList{"[dpatch] a", "[dpatch] b", "[dpatch] ", "[dpatch] c"};
    QTest::newRow("leading line feed logs an empty entry")
        << QStringList{"\ndirpatch dir patch time: 0.125 s\n"}
        << QStringList{"[dpatch] ", "[dpatch] dirpatch dir patch time: 0.125 s"};
    QTest::newRow("quotes and percent signs are not escaped")
        << QStringList{"say \"hi\" 100%\n"} << QStringList{"[dpatch] say \"hi\" 100%"};
}

void TestPatchMessageSink::piecesBecomeWholeLines()
{
    QFETCH(QStringList, pieces);
    QFETCH(QStringList, lines);
    for (const QString& piece : pieces)
        dpatch_printf("%s", piece.toUtf8().constData());
    QCOMPARE(takeCaptured(), lines);
}

void TestPatchMessageSink::formatsLikePrintf()
{
    dpatch_printf("%s|%llu|%d|%c|%.3f\n", "G\xc3\xa4rten/\xe6\x97\xa5", 18446744073709551615ull, -7, 'x', 2.5);
    QCOMPARE(takeCaptured(),
             QStringList{QString::fromUtf8("[dpatch] G\xc3\xa4rten/\xe6\x97\xa5|18446744073709551615|-7|x|2.500")});
}

void TestPatchMessageSink::errorAndNoteBuffersAreSeparate()
{
    dpatch_printf("note ");
    dpatch_fprintf(stderr, "check x error!\n");
    QCOMPARE(takeCaptured(), QStringList{"[dpatch] check x error!"});
    dpatch_fprintf(stderr, "error ");
    dpatch_printf("ends\n");
    QCOMPARE(takeCaptured(), QStringList{"[dpatch] note ends"});
    dpatch_fprintf(stderr, "ends too\n");
    QCOMPARE(takeCaptured(), QStringList{"[dpatch] error ends too"});
}

void TestPatchMessageSink::errorStreamArgumentIsIgnored()
{
    int notAStream = 0;
    dpatch_fprintf(nullptr, "null stream\n");
    dpatch_fprintf(&notAStream, "bogus stream\n");
    dpatch_fprintf(stdout, "stdout\n");
    QCOMPARE(takeCaptured(), (QStringList{"[dpatch] null stream", "[dpatch] bogus stream", "[dpatch] stdout"}));
    QCOMPARE(notAStream, 0);
}

void TestPatchMessageSink::returnsLengthInUtf16Units()
{
    QCOMPARE(dpatch_printf("%s", "\xc3\xa4\xf0\x9f\x98\x80"), 3); // one BMP letter, one surrogate pair
    QCOMPARE(dpatch_fprintf(stderr, "%d\n", 1234), 5);
    QCOMPARE(dpatch_printf("%s", ""), 0);
}

void TestPatchMessageSink::threadsDoNotMixLines()
{
    // Both threads print every line in several pieces at the same time; each must reach the log whole,
    // and in the order that thread printed it.
    constexpr int lineCount = 2000;
    std::atomic<int> ready{0};
    auto printer = [&](const char* name) {
        return [&ready, name] {
            ++ready;
            while (ready < 2)
                QThread::yieldCurrentThread();
            for (int i = 0; i < lineCount; ++i) {
                dpatch_printf("%s ", name);
                dpatch_fprintf(stderr, "%s err %d", name, i);
                dpatch_printf("line %d", i);
                dpatch_fprintf(stderr, "\n");
                dpatch_printf(" end\n");
            }
        };
    };
    QVERIFY(runTogether(printer("alpha"), printer("beta")));

    const QStringList lines = takeCaptured();
    QCOMPARE(lines.size(), 4 * lineCount);
    QHash<QString, int> nextNote, nextError;
    for (const QString& line : lines) {
        const QStringList words = line.split(u' ');
        QVERIFY2(words.size() >= 3 && words[0] == "[dpatch]", qPrintable(line));
        const QString& name = words[1];
        if (words[2] == "err") {
            QCOMPARE(line, QString("[dpatch] %1 err %2").arg(name).arg(nextError[name]++));
        } else {
            QCOMPARE(line, QString("[dpatch] %1 line %2 end").arg(name).arg(nextNote[name]++));
        }
    }
    QCOMPARE(nextNote.value("alpha"), lineCount);
    QCOMPARE(nextNote.value("beta"), lineCount);
    QCOMPARE(nextError.value("alpha"), lineCount);
}

void TestPatchMessageSink::unfinishedTextDiesWithItsThread()
{
    dpatch_printf("main waits ");
    QThread* worker = QThread::create([] {
        dpatch_printf("never finished");
        dpatch_fprintf(stderr, "error never finished");
    });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;
    QThread* next = QThread::create([] { dpatch_printf("fresh thread\n"); });
    next->start();
    QVERIFY(next->wait(10000));
    delete next;
    dpatch_printf("here\n");
    QCOMPARE(takeCaptured(), (QStringList{"[dpatch] fresh thread", "[dpatch] main waits here"}));
}

void TestPatchMessageSink::realLogGetsWholeLines()
{
    // Through the launcher's own log writer: each thread's pieces end up as one complete log line.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString logPath = dir.filePath("launcher.log");
    constexpr int lineCount = 300;
    {
        ThreadSafeLogWriter writer(logPath);
        auto printer = [](int id) {
            return [id] {
                for (int i = 0; i < lineCount; ++i) {
                    dpatch_printf("dirpatch run with old path: \"");
                    dpatch_printf("%s", "/install/\xc3\xa4");
                    dpatch_printf("\" thread %d line %d\n", id, i);
                }
                dpatch_fprintf(stderr, "check thread%d error!\n", id);
            };
        };
        QVERIFY(runTogether(printer(1), printer(2)));
    }
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(log.readAll()).split(u'\n');
    const QRegularExpression entry(R"(^\[0x[0-9a-f]+ *\|\d\d:\d\d:\d\d\.\d\d\d\] \[dpatch\] (.*)$)");
    int next[3] = {0, 0, 0};
    int errors = 0;
    for (const QString& line : lines) {
        if (!line.contains("[dpatch]"))
            continue;
        const QRegularExpressionMatch match = entry.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const QString text = match.captured(1);
        if (text.startsWith("check thread")) {
            ++errors;
            continue;
        }
        const QRegularExpressionMatch whole =
            QRegularExpression(R"(^dirpatch run with old path: "/install/\x{e4}" thread (\d) line (\d+)$)").match(text);
        QVERIFY2(whole.hasMatch(), qPrintable(text));
        const int id = whole.captured(1).toInt();
        QCOMPARE(whole.captured(2).toInt(), next[id]++);
    }
    QCOMPARE(next[1], lineCount);
    QCOMPARE(next[2], lineCount);
    QCOMPARE(errors, 2);
}

QTEST_GUILESS_MAIN(TestPatchMessageSink)
#include "TestPatchMessageSink.moc"
