#include "BuildConfig.h"
#include "frontends/ConsoleHost.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using HostCalls = std::function<void(ConsoleHost&)>;
Q_DECLARE_METATYPE(HostCalls)

namespace
{
const QByteArray esc("\x1b");
const QByteArray blue = esc + "[1;34m";
const QByteArray magenta = esc + "[1;35m";
const QByteArray reset = esc + "[0m";

// Runs the calls with the process's standard output redirected into a file and returns the
// bytes written, so the exact escape sequences, carriage returns and padding can be compared.
QByteArray captureStdout(const std::function<void()>& calls)
{
    QTemporaryFile capture;
    if (!capture.open())
        return "capture failed";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(capture.handle(), STDOUT_FILENO);
    calls();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    capture.seek(0);
    return capture.readAll();
}

// The same with standard output a terminal of the given width, in raw mode so that the bytes arrive
// untranslated.
QByteArray captureTerminal(int columns, const std::function<void()>& calls)
{
    winsize size = {};
    size.ws_row = 24;
    size.ws_col = ushort(columns);
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0)
        return "no terminal";
    termios raw = {};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const int saved = dup(STDOUT_FILENO);
    dup2(slave, STDOUT_FILENO);
    calls();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(slave);
    QByteArray written;
    pollfd in = {master, POLLIN, 0};
    char buffer[4096];
    while (poll(&in, 1, 100) > 0 && (in.revents & POLLIN)) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        written.append(buffer, n);
    }
    close(master);
    return written;
}

// Standard output a pipe of the smallest size, full: nothing written to it fits until it is drained.
struct FullPipe
{
    FullPipe()
    {
        if (pipe(ends) != 0)
            return;
        fcntl(ends[1], F_SETPIPE_SZ, 4096);
        fcntl(ends[1], F_SETFL, O_NONBLOCK);
        const QByteArray filler(4096, 'x');
        while (write(ends[1], filler.constData(), size_t(filler.size())) > 0) {
        }
        // The launcher's standard output is never made non-blocking by it; it must cope with a blocking one.
        fcntl(ends[1], F_SETFL, 0);
        saved = dup(STDOUT_FILENO);
        dup2(ends[1], STDOUT_FILENO);
    }
    ~FullPipe()
    {
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(ends[0]);
        close(ends[1]);
    }
    // Reads everything the pipe holds.
    QByteArray drain()
    {
        QByteArray all;
        pollfd in = {ends[0], POLLIN, 0};
        char buffer[4096];
        while (poll(&in, 1, 0) > 0) {
            const ssize_t n = read(ends[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            all.append(buffer, n);
        }
        return all;
    }
    int ends[2] = {-1, -1};
    int saved = -1;
};

QStringList* recordedMessages = nullptr;
void recordMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (recordedMessages)
        recordedMessages->append(message);
}
void ignorePipeSignal(int) {}
} // namespace

class TestConsoleHost : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void writesExactBytes_data();
    void writesExactBytes();
    void doneAndFailureEndTheEventLoop();
    void cutsRedrawsToTheTerminal_data();
    void cutsRedrawsToTheTerminal();
    void dropsWhatAFullPipeCantTake();
    void goesSilentOnceTheReaderHasGone();
};

void TestConsoleHost::initTestCase()
{
    // The host creates an Updater, which composes paths under the data directory.
    qputenv("XDG_DATA_HOME", QDir::tempPath().toUtf8() + "/console-host-test");
}

void TestConsoleHost::writesExactBytes_data()
{
    QTest::addColumn<HostCalls>("calls");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("start-up labels print nothing") << HostCalls([](ConsoleHost& h) {
        h.updateProgressBar1("INITIALIZING");
        h.updateProgressBar2("...");
        h.updateInfoText("", "Hold on...");
    }) << QByteArray();
    QTest::newRow("value 2 label and no info text print nothing")
        << HostCalls([](ConsoleHost& h) { h.updateProgressBar1("A %p", 1, 2); }) << QByteArray();
    QTest::newRow("value 2 label with info text shows no second value") << HostCalls([](ConsoleHost& h) {
        h.updateProgressBar1("WAITING", 0, 2);
        h.updateProgressBar2("...");
        h.updateInfoText("", "Hold on...");
    }) << blue + "WAITING" + reset + " | Hold on...";
    QTest::newRow("percentage divides before it multiplies, in every %p")
        << HostCalls([](ConsoleHost& h) {
               h.updateProgressBar1("D %p%", 29, 100);
               h.updateProgressBar2("I %p/%p", 57, 100);
               h.updateInfoText("1 MiB/s", "2 seconds remaining...");
           })
        << blue + "D 28%, " + magenta + "I 56/56" + "\r" + blue + "D 28%, " + magenta + "I 56/56" + reset +
               " | 1 MiB/s (2 seconds remaining...)";
    QTest::newRow("shorter line blanks the rest of the longer one") << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("info", "");
        h.updateProgressBar1("A LONG FORMAT", 0, 2);
        h.updateProgressBar1("SHORT", 0, 2);
    }) << blue + "A LONG FORMAT" + reset + " | info" + "\r" + blue + "SHORT" + reset + " | info" + QByteArray(8, ' ');
    QTest::newRow("empty info lines keep the previous text") << HostCalls([](ConsoleHost& h) {
        h.updateProgressBar1("X", 0, 2);
        h.updateInfoText("kept", "");
        h.updateInfoText("", "");
    }) << blue + "X" + reset + " | kept" + "\r" + blue + "X" + reset + " | kept";
    QTest::newRow("only the second info line") << HostCalls([](ConsoleHost& h) {
        h.updateProgressBar1("X", 0, 2);
        h.updateInfoText("", "second");
    }) << blue + "X" + reset + " | second";
    QTest::newRow("failure ends the status line first")
        << HostCalls([](ConsoleHost& h) {
               h.updateProgressBar1("P", 0, 2);
               h.updateInfoText("i", "");
               h.updateFailed("boom", "Launch Failed!");
           })
        << blue + "P" + reset + " | i" + "\n" + esc + "[1;37;41m" + "Launch Failed!" + reset + " " + esc + "[1;31m" +
               "boom" + reset + "\n";
    QTest::newRow("failure title defaults to Update Failed!")
        << HostCalls([](ConsoleHost& h) { h.updateFailed("x"); })
        << esc + "[1;37;41m" + "Update Failed!" + reset + " " + esc + "[1;31m" + "x" + reset + "\n";
    QTest::newRow("done line") << HostCalls([](ConsoleHost& h) { h.updateDone(); })
                               << esc + "[1;37;42m" + "All done!" + reset + "\n";
    QTest::newRow("nothing follows the final line") << HostCalls([](ConsoleHost& h) {
        h.updateFailed("x");
        h.updateProgressBar1("P %p", 1, 4);
        h.updateInfoText("late", "");
        h.updateConsole("late line");
        h.popup("Title", "late popup");
        h.updateDone();
    }) << esc + "[1;37;41m" + "Update Failed!" + reset + " " + esc + "[1;31m" + "x" + reset + "\n";
    QTest::newRow("popup writes only its text")
        << HostCalls([](ConsoleHost& h) { h.popup("Title", "Some text"); }) << QByteArray("Some text\n");
    QTest::newRow("permanent line after a status line starts a fresh one") << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("a long info text", "");
        h.updateProgressBar1("P", 0, 2);
        h.updateConsole("heading");
        h.updateProgressBar1("Q", 0, 2);
    }) << blue + "P" + reset + " | a long info text" + "\n" + "heading\n" + blue + "Q" + reset + " | a long info text";
    QTest::newRow("maximum 0 shows 0 percent") << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("i", "");
        h.updateProgressBar1("Z %p%", 5, 0);
    }) << blue + "Z 0%" + reset + " | i";
    QTest::newRow("negative maximum shows 0 percent") << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("i", "");
        h.updateProgressBar1("N %p%", 5, -3);
    }) << blue + "N 0%" + reset + " | i";
    QTest::newRow("progress beyond the maximum goes above 100") << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("i", "");
        h.updateProgressBar1("%p", 150, 100);
    }) << blue + "150" + reset + " | i";
    QTest::newRow("ratio beyond the int range is clamped") << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("i", "");
        h.updateProgressBar1("%p", LLONG_MAX, 2);
    }) << blue + "2147483647" + reset + " | i";
    QTest::newRow("length counts text units, not bytes") << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("i", "");
        h.updateProgressBar1("\u00e9\u00e9\u00e9", 0, 2);
        h.updateProgressBar1("e", 0, 2);
    }) << blue + "\xc3\xa9\xc3\xa9\xc3\xa9" + reset + " | i" + "\r" + blue + "e" + reset + " | i" + "  ";
}

void TestConsoleHost::writesExactBytes()
{
    QFETCH(HostCalls, calls);
    QFETCH(QByteArray, expected);
    ConsoleHost host("launcher", "main", "main", {}, false, false);
    const QByteArray written = captureStdout([&] { calls(host); });
    QCOMPARE(written, expected);
}

void TestConsoleHost::doneAndFailureEndTheEventLoop()
{
    ConsoleHost host("launcher", "main", "main", {}, false, false);
    captureStdout([&] {
        QTimer::singleShot(0, &host, [&] { host.updateDone(); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QTimer::singleShot(0, &host, [&] { host.updateFailed("e", "t"); });
        QCOMPARE(QCoreApplication::exec(), 0);
    });
}

void TestConsoleHost::cutsRedrawsToTheTerminal_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<HostCalls>("calls");
    QTest::addColumn<QByteArray>("expected");

    const HostCalls twoValues = [](ConsoleHost& h) {
        h.updateProgressBar1("D %p%", 29, 100);
        h.updateProgressBar2("I %p/%p", 57, 100);
        h.updateInfoText("1 MiB/s", "2 seconds remaining...");
    };
    const QByteArray twoValuesInAFile = captureStdout([&] {
        ConsoleHost host("launcher", "main", "main", {}, false, false);
        twoValues(host);
    });
    QTest::newRow("wide terminal: the bytes a file gets") << 200 << twoValues << twoValuesInAFile;
    QTest::newRow("terminal that gives no width: the bytes a file gets") << 0 << twoValues << twoValuesInAFile;
    QTest::newRow("cut one column short of the width, every escape sequence kept")
        << 20 << HostCalls([](ConsoleHost& h) {
               h.updateInfoText("1 MiB/s", "");
               h.updateProgressBar1("DOWNLOADING MANIFEST (%p%)", 1, 2);
           })
        << blue + "DOWNLOADING MANIFES" + reset;
    QTest::newRow("padding cut with the line") << 20 << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("i", "");
        h.updateProgressBar1("A LONG FORMAT HERE", 0, 2);
        h.updateProgressBar1("S", 0, 2);
    }) << blue + "A LONG FORMAT HERE" + reset + " " + "\r" + blue + "S" + reset + " | i" + QByteArray(14, ' ');
    QTest::newRow("a character beyond 16 bits counts once and is never split") << 6 << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("i", "");
        h.updateProgressBar1(QString::fromUtf8("\xf0\x9d\x84\x9e").repeated(8), 0, 2);
    }) << blue + QByteArray("\xf0\x9d\x84\x9e").repeated(5) + reset;
    QTest::newRow("permanent lines are written whole") << 20 << HostCalls([](ConsoleHost& h) {
        h.updateInfoText("i", "");
        h.updateProgressBar1("A LONG FORMAT HERE AND MORE", 0, 2);
        h.updateConsole("a permanent line of more than twenty columns");
    }) << blue + "A LONG FORMAT HERE " + reset + "\n" + "a permanent line of more than twenty columns\n";
}

void TestConsoleHost::cutsRedrawsToTheTerminal()
{
    QFETCH(int, columns);
    QFETCH(HostCalls, calls);
    QFETCH(QByteArray, expected);
    ConsoleHost host("launcher", "main", "main", {}, false, false);
    const QByteArray written = captureTerminal(columns, [&] { calls(host); });
    QCOMPARE(written, expected);
}

void TestConsoleHost::dropsWhatAFullPipeCantTake()
{
    ConsoleHost host("launcher", "main", "main", {}, false, false);
    FullPipe pipe;
    QElapsedTimer clock;
    clock.start();
    host.updateInfoText("i", "");
    host.updateProgressBar1("P", 0, 2);
    const qint64 redraw = clock.restart();
    host.updateConsole("a permanent line");
    const qint64 permanent = clock.elapsed();
    const int wait = BuildConfig::retryPolicy().consoleWriteWaitMSecs;
    QVERIFY2(redraw < wait / 2, qPrintable(QString::number(redraw)));
    QVERIFY2(permanent >= wait - 5 && permanent < wait + 500, qPrintable(QString::number(permanent)));

    // Neither reached the pipe, and the next redraw starts the status line afresh.
    QCOMPARE(pipe.drain(), QByteArray(4096, 'x'));
    host.updateProgressBar1("Q", 0, 2);
    QCOMPARE(pipe.drain(), blue + "Q" + reset + " | i");
}

void TestConsoleHost::goesSilentOnceTheReaderHasGone()
{
    struct sigaction handled = {};
    handled.sa_handler = ignorePipeSignal;
    struct sigaction previous = {};
    sigaction(SIGPIPE, &handled, &previous);
    QStringList messages;
    recordedMessages = &messages;
    const QtMessageHandler previousHandler = qInstallMessageHandler(recordMessage);

    ConsoleHost host("launcher", "main", "main", {}, false, false);
    int ends[2];
    QCOMPARE(pipe(ends), 0);
    close(ends[0]);
    const int saved = dup(STDOUT_FILENO);
    dup2(ends[1], STDOUT_FILENO);
    host.updateConsole("first");
    host.updateInfoText("i", "");
    host.updateProgressBar1("P", 0, 2);
    host.updateConsole("second");
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(ends[1]);

    qInstallMessageHandler(previousHandler);
    recordedMessages = nullptr;
    sigaction(SIGPIPE, &previous, nullptr);
    QCOMPARE(messages, QStringList{R"(Standard output failed: "Broken pipe" - nothing more is shown on the console.)"});
}

QTEST_GUILESS_MAIN(TestConsoleHost)
#include "TestConsoleHost.moc"
