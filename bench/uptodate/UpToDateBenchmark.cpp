// The road every start of the game takes: an install that is up to date, with a complete receipt,
// its manifest on the loopback HTTPS test server (tests/support/update_server.py). The real
// launcher binary runs from start to the start of the (stand-in) game, next to a stat walk of the
// same tree, `find DIR -type f -printf '%s %T@ %p\n'`, which is about the least that deciding
// "nothing changed" can cost. The two run interleaved, five times each after a sync; medians are
// printed with the load average, since the machine may be shared. The first run, which hashes
// every file because the receipt has no records yet, is printed too, as is the time this process
// takes to load the system's CA roots, which the launcher pays as well when its build adds a CA.
//
//     cmake --build build --target uptodate_benchmark
//     build/bench/uptodate/uptodate_benchmark [file counts, default 10000 100000]
//
// The install is made of files of 0.5-8.5 KiB in folders of 100, under a temporary folder. With
// UPTODATE_PERF_DIR set, one more up-to-date run of each size is recorded there by perf record -g.

#include "support/FakeGame.h"
#include "support/LauncherSandbox.h"
#include "support/TestUpdateServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace
{

struct Failure
{
    QString message;
};

[[noreturn]] void fail(const QString& message)
{
    throw Failure{message};
}

double loadAverage()
{
    double load[1] = {0};
    getloadavg(load, 1);
    return load[0];
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        fail("cannot write " + path);
}

// count files of 0.5-8.5 KiB of pseudo-random bytes, 100 to a folder, two levels deep.
void writeInstall(const QString& installDir, int count)
{
    std::mt19937_64 random(count);
    std::uniform_int_distribution<int> size(512, 8704);
    QByteArray bytes(8704, '\0');
    for (int i = 0; i < count; ++i) {
        const QString folder = QString("%1/Pelwinter/Content/g%2/d%3").arg(installDir).arg(i / 10000).arg(i / 100);
        if (i % 100 == 0)
            QDir().mkpath(folder);
        for (qsizetype b = 0; b + 8 <= bytes.size(); b += 8) {
            const quint64 word = random();
            memcpy(bytes.data() + b, &word, 8);
        }
        writeFile(QString("%1/f%2.uasset").arg(folder).arg(i), bytes.left(size(random)));
    }
}

// The manifest entries of every file of the install, digests by b3sum.
QJsonArray manifestFiles(const QString& installDir)
{
    QProcess b3sum;
    b3sum.setWorkingDirectory(installDir);
    b3sum.start("sh", {"-c", "find . -type f -printf '%P\\0' | xargs -0 b3sum"});
    if (!b3sum.waitForFinished(600000) || b3sum.exitCode() != 0)
        fail("b3sum over the install failed (is the b3sum package installed?)");
    QJsonArray files;
    for (const QByteArray& line : b3sum.readAllStandardOutput().split('\n')) {
        if (line.size() < 67)
            continue;
        const QString path = QString::fromUtf8(line.mid(66));
        files.append(QJsonObject{
            {"path", path},
            {"validation_hash", QString::fromLatin1(line.left(64))},
            {"resource", QJsonObject{{"hash", "unused-" + path}, {"parts", 1}, {"size", 1}}},
        });
    }
    return files;
}

// Seconds one command takes to its end, its output dropped.
double timeCommand(const QString& program, const QStringList& arguments)
{
    sync();
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitCode() != 0)
        fail(program + " failed");
    return double(timer.nsecsElapsed()) / 1e9;
}

// A line of the launcher's log: "[0x<thread>|HH:mm:ss.zzz] message", the time counted from the start.
struct LogLine
{
    qint64 msecs;
    QString message;
};

QList<LogLine> readLog(const QString& path)
{
    static const QRegularExpression format("^\\[0x[0-9a-f]+ *\\|(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d\\d)\\] (.*)$");
    QFile file(path);
    QList<LogLine> lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QString& text : QString::fromUtf8(file.readAll()).split('\n')) {
        const QRegularExpressionMatch match = format.match(text);
        if (!match.hasMatch())
            continue;
        const qint64 seconds = (match.captured(1).toLongLong() * 60 + match.captured(2).toLongLong()) * 60 +
                               match.captured(3).toLongLong();
        lines.append({seconds * 1000 + match.captured(4).toLongLong(), match.captured(5)});
    }
    return lines;
}

// Milliseconds of the log's first line that starts with text, -1 when there is none.
qint64 logTime(const QList<LogLine>& log, const QString& text)
{
    for (const LogLine& line : log)
        if (line.message.startsWith(text))
            return line.msecs;
    return -1;
}

struct LauncherRun
{
    double seconds = 0;     // from start to the game's start
    double exitSeconds = 0; // from start to the launcher's end
    QList<LogLine> log;
};

double realTime()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// One run of the launcher to its end; it must have started the game after hashing `hashed` files.
LauncherRun runLauncher(const LauncherSandbox& sandbox, const QString& record, int hashed,
                        const QString& profile = QString())
{
    QFile::remove(record);
    sync();
    const double started = realTime();
    const LauncherSandbox::Result result =
        profile.isEmpty() ? sandbox.run(LAUNCHER_BINARY, {}, 600000)
                          : sandbox.run("perf", {"record", "-g", "-o", profile, "--", LAUNCHER_BINARY}, 600000);
    // The stand-in game writes its record as it starts; the record's time is the game's start.
    struct stat status;
    if (stat(QFile::encodeName(record).constData(), &status) != 0)
        fail("the game did not start; see " + sandbox.logPath());
    const double gameStarted = double(status.st_mtim.tv_sec) + double(status.st_mtim.tv_nsec) / 1e9;
    LauncherRun run{gameStarted - started, realTime() - started, readLog(sandbox.logPath())};
    if (!result.finished || result.exitCode != 0 || !FakeGame::readRecord(record, 5000).found)
        fail("the launcher did not start the game; see " + sandbox.logPath());
    if (logTime(run.log, QString("Found %1 game files that require hashing.").arg(hashed)) < 0)
        fail(QString("the launcher did not hash %1 files; see %2").arg(hashed).arg(sandbox.logPath()));
    return run;
}

// Where the time of one run went, from its log: each step from the line before it.
void printPhases(const QList<LogLine>& log)
{
    const QList<QPair<QString, QString>> steps = {
        {"log start to the TLS versions", "SSL library build version"},
        {"system CA roots and the extra CA", "Trusting"},
        {"to stage 1 (receipt read)", "******* 1 / 3"},
        {"stage 1: manifest and walk", "Found"},
        {"hash job to its result", "Game file hash job finished"},
        {"to stage 3", "******* 3 / 3"},
        {"install check", "All files validated successfully."},
        {"receipt save", "Saved install receipt."},
        {"to the game's start", "Pelwinter launched"},
        {"to the last line", "Goodbye!"},
    };
    qint64 previous = 0;
    for (const auto& [label, text] : steps) {
        const qint64 at = logTime(log, text);
        if (at < 0)
            continue;
        std::printf("      %-30s %6lld ms  (at %lld ms)\n", qPrintable(label), at - previous, at);
        previous = at;
    }
}

void benchmark(TestUpdateServer& server, int count)
{
    LauncherSandbox sandbox;
    if (!sandbox.isValid())
        fail("no sandbox");
    const QString record = sandbox.root() + "/game.record";
    sandbox.setEnv("FAKE_GAME_RECORD", record);
    const QString installDir = sandbox.installDir("main");

    std::printf("\n%d files: making the install...\n", count);
    std::fflush(stdout);
    writeInstall(installDir, count);
    FakeGame::installFrom(FAKE_GAME_SCRIPT, installDir, FakeGame::Kind::Game);
    const QJsonArray files = manifestFiles(installDir);
    if (files.size() != count + 1)
        fail("b3sum listed the wrong number of files");
    const QJsonObject manifest{
        {"current_game_manifest", QJsonObject{{"version", "1.0"}, {"files", files}}},
        {"launcher_version", QJsonObject{{"required", 5}, {"latest", 5}}},
        {"patch_tree_nodes", QJsonArray()},
        {"current_full_patch_resource", QJsonObject{{"hash", "full"}, {"parts", 1}, {"size", 1 << 30}}},
    };
    server.putFile("manifest-main-linux.json", QJsonDocument(manifest).toJson(QJsonDocument::Compact));
    writeFile(installDir + ".json", QJsonDocument(QJsonObject{{"version", "1.0"}}).toJson());

    // Warm: the tree in the page cache for both sides.
    timeCommand("find", {installDir, "-type", "f", "-printf", "%s %T@ %p\\n"});
    const LauncherRun first = runLauncher(sandbox, record, count + 1);
    std::printf("  load average %.2f before\n", loadAverage());
    std::printf("  %-44s %8.3f s  (%.3f s to the launcher's end)\n", "first run, every file hashed, to game start",
                first.seconds, first.exitSeconds);
    printPhases(first.log);

    QList<double> launcher;
    QList<double> launcherEnd;
    QList<double> walk;
    LauncherRun last;
    for (int i = 0; i < 5; ++i) {
        last = runLauncher(sandbox, record, 0);
        launcher.append(last.seconds);
        launcherEnd.append(last.exitSeconds);
        walk.append(timeCommand("find", {installDir, "-type", "f", "-printf", "%s %T@ %p\\n"}));
    }
    const double ours = median(launcher);
    const double theirs = median(walk);
    std::printf("  %-44s %8.3f s  (%.3f s to the launcher's end)\n", "up-to-date run, start to game start", ours,
                median(launcherEnd));
    printPhases(last.log);
    std::printf("  %-44s %8.3f s\n", "stat walk (find -printf size, time, path)", theirs);
    std::printf("  %-44s %8.2fx the stat walk  (load average %.2f after; medians of 5)\n", "ratio", ours / theirs,
                loadAverage());
    std::fflush(stdout);

    // One more up-to-date run under perf, when asked for: UPTODATE_PERF_DIR=/some/dir.
    const QString perfDir = qEnvironmentVariable("UPTODATE_PERF_DIR");
    if (!perfDir.isEmpty()) {
        const QString profile = QString("%1/uptodate-%2.perf").arg(perfDir).arg(count);
        runLauncher(sandbox, record, 0, profile);
        std::printf("  profile of one more up-to-date run: %s\n", qPrintable(profile));
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QList<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.append(QString::fromLocal8Bit(argv[i]).toInt());
    if (counts.isEmpty())
        counts = {10000, 100000};

    // What a build that adds a CA pays for listing the system's roots explicitly (the launcher
    // does it once at start, see BuildCaCertificates.cpp).
    QElapsedTimer rootsTimer;
    rootsTimer.start();
    const qsizetype roots = QSslConfiguration::systemCaCertificates().size();
    std::printf("Loading the system's %lld CA roots took %.3f s in this process\n", (long long)roots,
                double(rootsTimer.nsecsElapsed()) / 1e9);

    try {
        TestUpdateServer server(CA_DIR);
        if (!server.start(BENCH_SERVER_PORT))
            fail(QString("the test update server did not start on port %1").arg(BENCH_SERVER_PORT));
        std::printf("server %s, launcher %s\n", qPrintable(server.baseUrl()), LAUNCHER_BINARY);
        for (int count : counts)
            benchmark(server, count);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "uptodate_benchmark: %s\n", qPrintable(failure.message));
        return 1;
    }
    return 0;
}
