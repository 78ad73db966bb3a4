#include "frontends/ConsoleHost.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>
#include <climits>
#include <cstdio>
#include <functional>
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
} // namespace

class TestConsoleHost : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void writesExactBytes_data();
    void writesExactBytes();
    void doneAndFailureEndTheEventLoop();
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

QTEST_GUILESS_MAIN(TestConsoleHost)
#include "TestConsoleHost.moc"
