// The real launcher binary with the standard outputs a desktop or a shell may hand it: a pipe whose
// reader has gone or goes mid-run, a pipe nobody reads, no standard output at all, and terminals of
// different widths. Whatever the console, the run goes on to start the game and the console's lines
// never reach the log.

#include "support/FakeGame.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/RandomBytes.h"
#include "support/TestUpdateServer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using GameContent::publishFile;

namespace
{
const QString consoleFailure = "Standard output failed:";

// How the launcher's standard output is set up for one run.
enum class Console
{
    PipeClosedAtStart, // the reader has gone before the first line
    PipeClosedMidRun,  // read up to the first line, then closed
    PipeNeverRead,     // kept open, full from the start, never read
    Closed,            // no descriptor 1 at all
    Terminal,          // a pseudo-terminal of the given width, read throughout
};

struct ConsoleRun
{
    bool exited = false; // ended on its own within the time limit
    int exitCode = -1;
    int signal = 0;
    QByteArray out; // what was read of standard output
};

// Fills the pipe's write end until it takes no more, leaving the descriptor's flags as they were.
bool fillPipe(int writeEnd)
{
    const int flags = fcntl(writeEnd, F_GETFL);
    fcntl(writeEnd, F_SETFL, flags | O_NONBLOCK);
    const QByteArray filler(4096, 'x');
    while (::write(writeEnd, filler.constData(), size_t(filler.size())) > 0) {
    }
    const bool full = errno == EAGAIN;
    fcntl(writeEnd, F_SETFL, flags);
    return full;
}

void readInto(int fd, QByteArray& out)
{
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0)
        out.append(buffer, n);
}

// Runs the binary in the sandbox with standard output set up as console says, standard input on
// /dev/null and standard error into a file of the sandbox.
ConsoleRun runWithConsole(const LauncherSandbox& sandbox, Console console, int columns = 0,
                          const QStringList& arguments = {})
{
    ConsoleRun run;
    int childOut = -1; // what becomes the child's descriptor 1 (-1: none)
    int readEnd = -1;  // what the test reads, if anything
    if (console == Console::Terminal) {
        winsize size = {};
        size.ws_row = 24;
        size.ws_col = ushort(columns);
        if (openpty(&readEnd, &childOut, nullptr, nullptr, &size) != 0)
            return run;
        fcntl(readEnd, F_SETFD, FD_CLOEXEC);
        fcntl(childOut, F_SETFD, FD_CLOEXEC);
    } else if (console != Console::Closed) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return run;
        readEnd = ends[0];
        childOut = ends[1];
        if (console == Console::PipeClosedAtStart) {
            ::close(readEnd);
            readEnd = -1;
        } else if (console == Console::PipeNeverRead) {
            // The smallest pipe, full before the launcher starts: nothing it writes ever fits.
            fcntl(childOut, F_SETPIPE_SZ, 4096);
            if (!fillPipe(childOut))
                return run;
        }
    }

    const QByteArray binary = TEST_LAUNCHER_BINARY;
    const QByteArray workDir = QFile::encodeName(sandbox.root());
    const QByteArray errPath = QFile::encodeName(sandbox.root() + "/stderr.txt");
    QByteArrayList envText;
    for (const QString& item : sandbox.environment().toStringList())
        envText.append(item.toUtf8());
    std::vector<char*> envp;
    for (QByteArray& item : envText)
        envp.push_back(item.data());
    envp.push_back(nullptr);
    QByteArrayList argText{binary};
    for (const QString& argument : arguments)
        argText.append(argument.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& item : argText)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int null = ::open("/dev/null", O_RDONLY);
        const int err = ::open(errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(null, STDIN_FILENO);
        ::dup2(err, STDERR_FILENO);
        if (childOut >= 0)
            ::dup2(childOut, STDOUT_FILENO);
        else
            ::close(STDOUT_FILENO);
        if (::chdir(workDir.constData()) != 0)
            ::_exit(126);
        ::execve(binary.constData(), argv.data(), envp.data());
        ::_exit(127);
    }
    if (childOut >= 0 && console != Console::PipeNeverRead)
        ::close(childOut);
    if (pid < 0)
        return run;

    QDeadlineTimer deadline(60000);
    int status = 0;
    bool reading = readEnd >= 0 && console != Console::PipeNeverRead;
    while (!deadline.hasExpired()) {
        if (reading) {
            pollfd in = {readEnd, POLLIN, 0};
            if (::poll(&in, 1, 20) > 0)
                readInto(readEnd, run.out);
            if (console == Console::PipeClosedMidRun && run.out.contains('\n')) {
                ::close(readEnd);
                readEnd = -1;
                reading = false;
            }
        } else {
            QThread::msleep(20);
        }
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            run.exited = true;
            break;
        }
    }
    if (!run.exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    // A terminal holds what was written before the launcher ended until it is read.
    if (console == Console::Terminal) {
        pollfd in = {readEnd, POLLIN, 0};
        while (::poll(&in, 1, 200) > 0 && !(in.revents & (POLLHUP | POLLERR)))
            readInto(readEnd, run.out);
        readInto(readEnd, run.out);
    }
    if (readEnd >= 0)
        ::close(readEnd);
    if (console == Console::PipeNeverRead)
        ::close(childOut);
    return run;
}

// The redraws of the status line in terminal output (the pieces between carriage returns and line
// ends that start with the colour of value 1), escape sequences removed.
QStringList statusRedraws(const QByteArray& out)
{
    static const QRegularExpression escape("\x1b\\[[0-9;]*m");
    QStringList redraws;
    for (const QString& piece : QString::fromUtf8(out).split(QRegularExpression("[\r\n]"))) {
        if (piece.startsWith("\x1b[1;34m"))
            redraws.append(QString(piece).remove(escape));
    }
    return redraws;
}

qsizetype widest(const QStringList& lines)
{
    qsizetype width = 0;
    for (const QString& line : lines)
        width = qMax(width, line.size());
    return width;
}
} // namespace

Q_DECLARE_METATYPE(Console)

class TestLauncherConsole : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void runSurvivesItsConsole_data();
    void runSurvivesItsConsole();
    // A program the launcher starts gets SIGPIPE's default, whatever the launcher does with it.
    void startedProgramStillDiesOfSigpipe_data();
    void startedProgramStillDiesOfSigpipe();

private:
    // An install of version 1.0 with one broken file, which the run repairs before it starts the game:
    // the run shows download progress, permanent lines and "All done!".
    void publishInstallToRepair();

    std::unique_ptr<LauncherRoad> road;
};

void TestLauncherConsole::init()
{
    road = std::make_unique<LauncherRoad>();
    QVERIFY(road->isValid());
}

void TestLauncherConsole::cleanup()
{
    road.reset();
}

void TestLauncherConsole::publishInstallToRepair()
{
    const QJsonObject broken = publishFile(road->server(), "Pelwinter/Content/a.pak", randomBytes(300 * 1024, 3), 3);
    writeFile(road->installDir() + "/Pelwinter/Content/a.pak", "broken");
    road->publishBranch("1.0", {road->installedGame(), broken});
    road->writeReceipt("1.0");
}

void TestLauncherConsole::runSurvivesItsConsole_data()
{
    QTest::addColumn<Console>("console");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("failureLines"); // log lines saying the console has gone

    QTest::newRow("pipe closed before the first line") << Console::PipeClosedAtStart << 0 << 1;
    QTest::newRow("pipe closed after the first line") << Console::PipeClosedMidRun << 0 << 1;
    QTest::newRow("pipe kept open and never read") << Console::PipeNeverRead << 0 << 0;
    QTest::newRow("standard output closed") << Console::Closed << 0 << 0;
    QTest::newRow("terminal 40 columns wide") << Console::Terminal << 40 << 0;
    QTest::newRow("terminal 200 columns wide") << Console::Terminal << 200 << 0;
}

void TestLauncherConsole::runSurvivesItsConsole()
{
    QFETCH(Console, console);
    QFETCH(int, columns);
    QFETCH(int, failureLines);

    publishInstallToRepair();
    // The manifest comes late, so that a reader closing after the first line does so mid-run.
    road->server().setFaults("/update/manifest-main-linux.json", {{.delayMSecs = 300}});
    QVERIFY(road->server().start(TEST_SERVER_PORT));

    QElapsedTimer clock;
    clock.start();
    const ConsoleRun run = runWithConsole(*road, console, columns);
    QVERIFY2(run.exited, qPrintable(road->readLog()));
    QCOMPARE(run.signal, 0);
    QCOMPARE(run.exitCode, 0);
    // A permanent line waits for a full pipe only briefly; a run of a few lines stays short.
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(road->gameStarted());

    const QString log = road->readLog();
    const QStringList messages = road->logMessages();
    QVERIFY(messages.contains("All repair jobs finished."));
    QCOMPARE(messages.last(), QString("Goodbye!"));
    QVERIFY2(!log.contains("\x1b") && !log.contains("All done!") &&
                 !log.contains("Grabbing manifest and checking game files..."),
             qPrintable(log));
    QCOMPARE(messages.filter(consoleFailure).size(), failureLines);

    if (console == Console::PipeClosedMidRun)
        QVERIFY2(run.out.startsWith("Grabbing manifest and checking game files...\n"), run.out.constData());
    if (console != Console::Terminal)
        return;

    const QStringList redraws = statusRedraws(run.out);
    QVERIFY2(!redraws.isEmpty(), run.out.constData());
    // Permanent lines are never cut, whatever the width.
    QVERIFY(run.out.contains("Checking launcher and downloading version info...\r\n"));
    QVERIFY(run.out.contains("\x1b[1;37;42mAll done!\x1b[0m\r\n"));
    if (columns == 40) {
        // Every redraw fits in the row with a column to spare, and the long ones were cut to that.
        QCOMPARE(widest(redraws), qsizetype(39));
        return;
    }
    // Wide enough: the redraws are whole, as they would be in a file. Each one ends with its info
    // text followed by the padding that blanks a longer one before it on the same row.
    QVERIFY(widest(redraws) > 40);
    const QStringList rows = QString::fromUtf8(run.out).split('\n');
    for (const QString& row : rows) {
        static const QRegularExpression escape("\x1b\\[[0-9;]*m");
        qsizetype previous = 0;
        for (const QString& piece : row.split('\r')) {
            if (!piece.startsWith("\x1b[1;34m"))
                continue;
            const QString text = QString(piece).remove(escape);
            const qsizetype unpadded = QString(piece).remove(QRegularExpression(" +$")).size();
            QVERIFY2(QRegularExpression("[.)!] *$").match(text).hasMatch(), qPrintable(text));
            QCOMPARE(piece.size() - unpadded, qMax<qsizetype>(0, previous - unpadded));
            previous = unpadded;
        }
    }
}

void TestLauncherConsole::startedProgramStillDiesOfSigpipe_data()
{
    QTest::addColumn<bool>("dedicatedServer");
    QTest::newRow("game, started detached") << false;
    QTest::newRow("dedicated server, taking over the process") << true;
}

void TestLauncherConsole::startedProgramStillDiesOfSigpipe()
{
    QFETCH(bool, dedicatedServer);

    publishInstallToRepair();
    FakeGame::install(road->installDir(), FakeGame::Kind::Server);
    QVERIFY(road->server().start(TEST_SERVER_PORT));
    // The program prints to the standard output it inherits, whose reader has gone, and then would
    // stay a few seconds. With the default disposition of SIGPIPE it dies at its first line instead.
    road->setEnv("FAKE_GAME_ECHO", "1");
    road->setEnv("FAKE_GAME_SLEEP", "5");

    const ConsoleRun run =
        runWithConsole(*road, Console::PipeClosedAtStart, 0, dedicatedServer ? QStringList{"--server"} : QStringList{});
    QVERIFY(run.exited);
    const FakeGame::Record record = FakeGame::readRecord(road->gameRecord());
    QVERIFY(record.found);
    if (dedicatedServer) {
        // The server is the launcher's own process, so its end is the run's.
        QCOMPARE(run.signal, SIGPIPE);
        return;
    }
    QCOMPARE(run.exitCode, 0);
    // The game is detached: it is gone (or left as a zombie nobody reaps) once it has died.
    const QString stat = QString("/proc/%1/stat").arg(record.pid);
    const bool died = QTest::qWaitFor(
        [&stat] {
            const QByteArray text = readFile(stat);
            return text.isEmpty() || text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
        },
        3000);
    QVERIFY2(died, qPrintable(readFile(stat)));
}

QTEST_GUILESS_MAIN(TestLauncherConsole)
#include "TestLauncherConsole.moc"
