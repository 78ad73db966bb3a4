// The road every start of the game takes: an install that is up to date, with a complete receipt,
// its manifest on the loopback HTTPS test server (tests/support/update_server.py). The real
// launcher binary (a build that adds a CA, as the tests use) runs from start to the start of the
// (stand-in) game, next to a stat walk of the same tree, `find DIR -type f -printf '%s %T@ %p\n'`,
// which is about the least that deciding "nothing changed" can cost; for a small install the walk
// is joined by `curl` fetching the manifest, the least a launcher that asks the server can cost.
// The sides run interleaved, five times each after a sync; medians are printed with the load
// average, since the machine may be shared, and so are the phases of one run from its log. The
// first run, which hashes every file because the receipt has no records yet, is printed too, and
// writes the receipt the up-to-date runs read.
//
//     cmake --build build --target uptodate_benchmark
//     build/bench/uptodate/uptodate_benchmark [file counts, default 1000 10000 100000]
//
// The install is made of files of 0.5-8.5 KiB in folders of 100 ("Pelwinter/Content/D07/S3/
// f01234.uasset"), under a temporary folder; the manifest lists every file with its 64-hex
// "validation_hash" and a "resource" whose "hash" is 64 hex digits too, as a real branch manifest
// does. With UPTODATE_PERF_DIR set, one more up-to-date run of each size is recorded there by
// perf record -g.

#include "support/FakeGame.h"
#include "support/Files.h"
#include "support/GameContent.h"
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

// count files of 0.5-8.5 KiB of pseudo-random bytes, 100 to a folder, two levels of folders.
void writeInstall(const QString& installDir, int count)
{
    std::mt19937_64 random(count);
    std::uniform_int_distribution<int> size(512, 8704);
    QByteArray bytes(8704, '\0');
    for (int i = 0; i < count; ++i) {
        const QString folder =
            QString("%1/Pelwinter/Content/D%2/S%3").arg(installDir).arg(i / 1000, 2, 10, QChar('0')).arg(i / 100 % 10);
        if (i % 100 == 0)
            QDir().mkpath(folder);
        for (qsizetype b = 0; b + 8 <= bytes.size(); b += 8) {
            const quint64 word = random();
            memcpy(bytes.data() + b, &word, 8);
        }
        const QString path = QString("%1/f%2.uasset").arg(folder).arg(i, 5, 10, QChar('0'));
        if (!writeFile(path, bytes.left(size(random))))
            fail("cannot write " + path);
    }
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
    const double ended = realTime();
    // The stand-in game writes its record as it starts (it is started detached, so perhaps only
    // after the launcher has ended); the record's time is the game's start.
    if (!result.finished || result.exitCode != 0 || !FakeGame::readRecord(record, 5000).found)
        fail("the launcher did not start the game; see " + sandbox.logPath());
    struct stat status;
    if (stat(QFile::encodeName(record).constData(), &status) != 0)
        fail("the game did not start; see " + sandbox.logPath());
    const double gameStarted = double(status.st_mtim.tv_sec) + double(status.st_mtim.tv_nsec) / 1e9;
    LauncherRun run{gameStarted - started, ended - started, readLog(sandbox.logPath())};
    if (logTime(run.log, QString("Found %1 game files that require hashing.").arg(hashed)) < 0)
        fail(QString("the launcher did not hash %1 files; see %2").arg(hashed).arg(sandbox.logPath()));
    return run;
}

// Where the time of one run went, from its log. The main thread and the hash job's thread log side
// by side, so the steps are shown in the order they happened, each with the time since the one
// before it; the manifest's download and parse are shown on their own as well.
void printPhases(const QList<LogLine>& log, double runSeconds)
{
    const QList<QPair<QString, QString>> steps = {
        {"TLS versions logged", "SSL library build version"},
        {"extra CA taken (roots go on)", "Trusting"},
        {"stage 1 begins", "******* 1 / 3"},
        {"hash job starts its walk", "Starting game file hash job."},
        {"manifest requested", "Starting download for"},
        {"walk matched to the records", "Found 0 game files"},
        {"hash job's result", "Game file hash job finished"},
        {"manifest's last byte", "Downloaded"},
        {"manifest parsed", "Manifest retrieved successfully."},
        {"stage 2 (receipt there too)", "******* 2 / 3"},
        {"stage 3", "******* 3 / 3"},
        {"install check done", "All files validated successfully."},
        {"receipt saved", "Saved install receipt."},
        {"game started", "Pelwinter launched"},
        {"last line", "Goodbye!"},
    };
    QList<QPair<qint64, QString>> found;
    for (const auto& [label, text] : steps) {
        if (const qint64 at = logTime(log, text); at >= 0)
            found.append({at, label});
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const qint64 start = log.isEmpty() ? 0 : log.first().msecs;
    qint64 previous = start;
    for (const auto& [at, label] : found) {
        std::printf("      %-30s +%5lld ms  (at %lld ms)\n", qPrintable(label), at - previous, at - start);
        previous = at;
    }
    if (const qint64 launched = logTime(log, "Pelwinter launched"); launched >= 0)
        std::printf("      before the log's first line     %5lld ms  (process start, libraries, instance lock)\n",
                    qint64(runSeconds * 1000) - (launched - start));
    const qint64 requested = logTime(log, "Starting download for");
    const qint64 arrived = logTime(log, "Downloaded");
    const qint64 parsed = logTime(log, "Manifest retrieved successfully.");
    if (requested >= 0 && arrived >= 0 && parsed >= 0)
        std::printf("      manifest: download %lld ms, parse %lld ms\n", arrived - requested, parsed - arrived);
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
    const QJsonArray files = GameContent::listInstalledFiles(installDir);
    if (files.size() != count + 1)
        fail("b3sum listed the wrong number of files");
    const QJsonObject manifest{
        {"current_game_manifest", QJsonObject{{"version", "1.0"}, {"files", files}}},
        {"launcher_version", QJsonObject{{"required", 5}, {"latest", 5}}},
        {"patch_tree_nodes", QJsonArray()},
        {"current_full_patch_resource", QJsonObject{{"hash", "full"}, {"parts", 1}, {"size", 1 << 30}}},
    };
    const QByteArray manifestBytes = QJsonDocument(manifest).toJson(QJsonDocument::Compact);
    const qsizetype manifestSize = manifestBytes.size();
    server.putFile("manifest-main-linux.json", manifestBytes);
    if (!writeFile(installDir + ".json", QJsonDocument(QJsonObject{{"version", "1.0"}}).toJson()))
        fail("cannot write the receipt");

    // Warm: the tree in the page cache for both sides.
    timeCommand("find", {installDir, "-type", "f", "-printf", "%s %T@ %p\\n"});
    const LauncherRun first = runLauncher(sandbox, record, count + 1);
    std::printf("  load average %.2f before\n", loadAverage());
    std::printf("  %-44s %8.3f s  (%.3f s to the launcher's end)\n", "first run, every file hashed, to game start",
                first.seconds, first.exitSeconds);
    printPhases(first.log, first.seconds);

    // A small install is compared with fetching the manifest and walking the tree, a large one with
    // the walk alone.
    const bool withCurl = count <= 1000;
    const QString manifestUrl = server.baseUrl() + "/manifest-main-linux.json";
    const QStringList curlArguments{"-s", "-f",        "--cacert", QString(CA_DIR) + "/ca.pem",
                                    "-o", "/dev/null", manifestUrl};
    QList<double> launcher;
    QList<double> launcherEnd;
    QList<double> walk;
    QList<double> fetch;
    LauncherRun last;
    for (int i = 0; i < 5; ++i) {
        last = runLauncher(sandbox, record, 0);
        launcher.append(last.seconds);
        launcherEnd.append(last.exitSeconds);
        walk.append(timeCommand("find", {installDir, "-type", "f", "-printf", "%s %T@ %p\\n"}));
        fetch.append(timeCommand("curl", curlArguments));
    }
    const double ours = median(launcher);
    const double walkTime = median(walk);
    const double fetchTime = median(fetch);
    std::printf("  %-44s %8.3f s  (%.3f s to the launcher's end)\n", "up-to-date run, start to game start", ours,
                median(launcherEnd));
    std::printf("      runs:");
    for (double seconds : std::as_const(launcher))
        std::printf(" %.3f", seconds);
    std::printf(" s\n");
    printPhases(last.log, last.seconds);
    std::printf("  %-44s %8.3f s\n", "stat walk (find -printf size, time, path)", walkTime);
    std::printf("  %-44s %8.3f s  (%.1f MB)\n", "curl fetching the manifest", fetchTime, double(manifestSize) / 1e6);
    if (withCurl)
        std::printf("  %-44s %8.2fx curl + the stat walk  (load average %.2f after; medians of 5)\n", "ratio",
                    ours / (walkTime + fetchTime), loadAverage());
    else
        std::printf("  %-44s %8.2fx the stat walk  (load average %.2f after; medians of 5)\n", "ratio", ours / walkTime,
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
        counts = {1000, 10000, 100000};

    // What a build that adds a CA pays for listing the system's roots explicitly (the launcher
    // does it once at start on a thread of its own, see BuildCaCertificates.cpp).
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
