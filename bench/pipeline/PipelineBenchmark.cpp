// The launcher's patch pipeline end to end on loopback: the real launcher binary, built against
// https://127.0.0.1:<port>/update and the test CA, updates a game served by nginx over HTTPS
// (scripts/serve-update.sh, as the demo does), and the time it spends downloading, applying and
// rehashing, read from its log, is printed next to curl fetching the same patch bytes from the same
// nginx and cp -r of the same tree, with the launcher's peak resident memory.
//
//   update:       an install of 1 GiB at version 1.0 is taken to 1.2 over the patches 1.0 -> 1.1
//                 and 1.1 -> 1.2. Each version rewrites a sixth of one big pak in 64 stretches and
//                 grows it, edits or rewrites one in ten of the other files, deletes one in twenty
//                 and adds as many new ones; the rest is unchanged.
//   full install: nothing installed, a game of 2 GiB is installed from its full patch in 3 parts,
//                 published twice: in the launcher's shares (part i holds S·i/3 up to S·(i+1)/3) and
//                 in fixed-size chunks (ceil(S/3) bytes each, the last the rest), served in turn. Five
//                 rounds interleave the launcher's install from each split, curl fetching the parts of
//                 each, cp -r of the game and the engine's command-line patcher applying the same patch,
//                 each started after sync (the launcher's own apply follows its download without one);
//                 the medians of the download per split (against curl of the same parts), the time from
//                 the last part to the whole blob, the apply, curl and cp -r are printed with the load
//                 average, and, from the launcher's log, every part request beyond one per part (a
//                 restart) and every part that had to wait in a file of its own: written in place,
//                 nothing else makes a part file, so with neither there is no join. The launcher's peak memory
//                 is shown against its budget, 200 MiB plus the patch engine's 512 MiB cache (patch
//                 downloads go to disk, so it stays far below the patch).
//
//   waiting parts: nothing installed, a game of 200 MiB is installed from its full patch in 3 and in 5 parts,
//                 served by the test server (update_server.py), which can answer late and without a length:
//                 all parts at once, part 0 6 s late (the others placed from the end), and part 0 late with
//                 the last part chunked, so that the parts between wait for their places. Five interleaved
//                 rounds; printed are the medians of the download and of the launcher's peak resident
//                 memory, and what the waiting costs in memory (against the launcher's waiting limit) and
//                 in time against part 0 late alone.
//
//   small update: an install of 768 MiB (three paks of a quarter of it each and 200 files of 960 KiB) is
//                 taken from 1.0 to 1.1 by a patch that rewrites stretches of 4 files, adds 6 and deletes
//                 3, on the work disk, on a loop-mounted XFS image and on a loop-mounted vfat image (where
//                 links are refused), and on the work disk once more with links refused by the preloaded
//                 fault module (the copy road, where the kernel has no vfat). Five rounds interleave the
//                 update with its anchor, the up-to-date run at 1.1 plus cp --reflink=never of the files
//                 the patch writes whole (changed and new), each after sync; printed are the medians, the
//                 largest extra disk use during the update beyond the install and the downloaded patch
//                 (the installs folder sampled as du counts it, a file with two links once) and how many
//                 files the rehash after patching hashed.
//
// A program to run by hand, not a ctest test:
//     cmake --build build --target pipeline_benchmark
//     build/bench/pipeline/pipeline_benchmark [update MiB, default 1024] [full install MiB, default 2048] [work folder]
//                                             [small update MiB, default 768] [waiting parts MiB, default 200]
// A size of 0 skips that scenario; a quick run: pipeline_benchmark 64 96. The work folder (by default
// a temporary one in the current folder, removed at the end) needs about 9 times the larger size on
// disk; making the patches needs about 5 times the larger size in memory (the test-only patch writer
// holds whole trees). The server's port is fixed when the build is configured
// (PELWINTER_BENCH_SERVER_PORT, or PELWINTER_BENCH_PORT in the environment then).

#include "jobs/RetrieveFileJob.h"
#include "support/BenchTiming.h"
#include "support/RandomBytes.h"
#include "support/ScratchMount.h"
#include "support/TestUpdateServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
const QString gamePath = "Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping";
const QString serverBase = QString("https://127.0.0.1:%1/update").arg(BENCH_SERVER_PORT);
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kBudgetMiB = 200 + 512;
constexpr int kRounds = 5;

double mib(qint64 bytes)
{
    return double(bytes) / kMiB;
}

// The most of something seen while sampling, and when.
struct Peak
{
    double mib = 0;
    double atSeconds = 0;

    void see(double value, double seconds)
    {
        if (value > mib) {
            mib = value;
            atSeconds = seconds;
        }
    }
};

struct Run
{
    int exitCode = -1;
    double seconds = 0;
    double peakMiB = 0; // resident memory as the kernel counts it, mapped file pages included
    // Sampled every few milliseconds: anonymous memory (what the process allocated) and mapped file
    // pages (the hasher maps the files it hashes), which the peak above lumps together.
    Peak anonymous;
    Peak filePages;
};

// RssAnon and RssFile of a running process, in MiB; zero while it is still the forked copy of this
// program that has yet to run program.
QPair<double, double> residentMiB(pid_t pid, const QByteArray& program)
{
    QFile commandLine(QString("/proc/%1/cmdline").arg(pid));
    QFile status(QString("/proc/%1/status").arg(pid));
    QPair<double, double> resident;
    if (!commandLine.open(QIODevice::ReadOnly) || !commandLine.readAll().startsWith(program + '\0') ||
        !status.open(QIODevice::ReadOnly))
        return resident;
    for (const QByteArray& line : status.readAll().split('\n')) {
        const double value = double(line.mid(8).trimmed().split(' ').first().toLongLong()) / 1024.0;
        if (line.startsWith("RssAnon:"))
            resident.first = value;
        else if (line.startsWith("RssFile:"))
            resident.second = value;
    }
    return resident;
}

// Runs a command to its end with the given environment additions and its output in a file; each
// run starts with nothing left to write back from the steps before it.
Run run(const QStringList& command, const QStringList& environment = {}, const QString& output = "/dev/null")
{
    QElapsedTimer timer;
    const QByteArray program = command.first().toLocal8Bit();
    const pid_t child = startAfterSync(command, environment, QString(), output, &timer);
    Run result;
    int status = 0;
    struct rusage usage = {};
    while (wait4(child, &status, WNOHANG, &usage) == 0) {
        const QPair<double, double> resident = residentMiB(child, program);
        const double now = double(timer.nsecsElapsed()) / 1e9;
        result.anonymous.see(resident.first, now);
        result.filePages.see(resident.second, now);
        usleep(2000);
    }
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.peakMiB = double(usage.ru_maxrss) / 1024.0;
    return result;
}

// Ends the benchmark through main(), so the server is stopped and the work folder removed.
struct Failure
{
    QString message;
};

[[noreturn]] void fail(const QString& message)
{
    throw Failure{message};
}

// One line of the results: what, how long, and a note.
void row(const QString& label, double seconds, const QString& note = QString())
{
    printf("  %-44s %7.2f s  %s\n", qPrintable(label), seconds, qPrintable(note));
}

void writeFile(const QString& path, const QByteArray& content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Written aside and renamed, so a hard-linked earlier version keeps its own file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        fail("cannot write " + path);
    if (executable)
        QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail("cannot read " + path);
    return file.readAll();
}

QString gameExecutable(const QString& version)
{
    return QString::fromUtf8(readFile(FAKE_GAME_SCRIPT)) + "# Pelwinter " + version + "\n";
}

// Version 1.0 of a game of about totalBytes: six big paks hold 60% of the data, 300 maps 35% and 700
// small assets the rest, in nested folders.
void writeFirstVersion(const QString& root, qint64 totalBytes)
{
    writeFile(root + "/" + gamePath, gameExecutable("1.0").toUtf8(), true);
    quint32 seed = 1;
    for (int i = 0; i < 6; ++i)
        writeFile(QString("%1/Pelwinter/Content/Paks/pak%2.pak").arg(root).arg(i),
                  randomBytes(totalBytes / 10, seed++));
    for (int i = 0; i < 300; ++i)
        writeFile(QString("%1/Pelwinter/Content/Maps/Region%2/map%3.umap").arg(root).arg(i % 12).arg(i),
                  randomBytes(qMax<qint64>(1024, totalBytes * 35 / 100 / 300), seed++));
    for (int i = 0; i < 700; ++i)
        writeFile(
            QString("%1/Pelwinter/Content/Assets/Set%2/Group%3/asset%4.uasset").arg(root).arg(i % 10).arg(i % 7).arg(i),
            randomBytes(qMax<qint64>(1024, totalBytes * 5 / 100 / 700), seed++));
}

struct Changes
{
    int changed = 0;
    int added = 0;
    int deleted = 0;
    qint64 newBytes = 0; // bytes written that the earlier version did not have
};

// The next version, made as a hard-linked copy of the earlier one in which the changed files are
// replaced: one pak gets 64 stretches of 256 KiB (a sixth of it) rewritten and grows by 2%, one in ten of the other
// files is edited (maps) or rewritten (assets), one in twenty is deleted and as many are added.
Changes writeNextVersion(const QString& previous, const QString& root, int step)
{
    if (run({"cp", "-al", previous, root}).exitCode != 0)
        fail("cannot copy " + previous);
    Changes changes;
    QRandomGenerator random(quint32(1000 + step));
    writeFile(root + "/" + gamePath, gameExecutable(QFileInfo(root).fileName()).toUtf8(), true);

    const QString pakPath = QString("%1/Pelwinter/Content/Paks/pak%2.pak").arg(root).arg(step - 1);
    QByteArray pak = readFile(pakPath);
    const qsizetype stretch = qMin<qsizetype>(256 * 1024, pak.size() / 256);
    for (int i = 0; i < 64; ++i)
        pak.replace(pak.size() / 64 * i, stretch, randomBytes(stretch, random.generate()));
    const qsizetype growth = pak.size() / 50;
    pak.append(randomBytes(growth, random.generate()));
    writeFile(pakPath, pak);
    changes.changed++;
    changes.newBytes += 64 * stretch + growth;

    QStringList others;
    for (const QString& folder : {"/Pelwinter/Content/Maps", "/Pelwinter/Content/Assets"}) {
        QDirIterator it(root + folder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            others.append(it.next());
    }
    others.sort();
    for (qsizetype i = 0; i < others.size(); ++i) {
        const QString& path = others[i];
        const int kind = int((i + 7 * step) % 20);
        if (kind == 0) {
            const qint64 size = QFileInfo(path).size();
            QFile::remove(path);
            const QString added =
                QFileInfo(path).absolutePath() + QString("/added%1_%2.").arg(step).arg(i) + QFileInfo(path).suffix();
            writeFile(added, randomBytes(size, random.generate()));
            changes.deleted++;
            changes.added++;
            changes.newBytes += size;
        } else if (kind <= 2) {
            QByteArray content = readFile(path);
            if (path.endsWith(".umap")) {
                const qsizetype edit = qMin<qsizetype>(4096, content.size() / 8);
                for (int at = 1; at <= 4; ++at)
                    content.replace(content.size() / 5 * at, edit, randomBytes(edit, random.generate()));
                content.append(randomBytes(8192, random.generate()));
                changes.newBytes += 4 * edit + 8192;
            } else {
                content = randomBytes(content.size(), random.generate());
                changes.newBytes += content.size();
            }
            writeFile(path, content);
            changes.changed++;
        }
    }
    return changes;
}

qint64 treeBytes(const QString& root, int* fileCount)
{
    qint64 bytes = 0;
    *fileCount = 0;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        bytes += QFileInfo(it.next()).size();
        ++*fileCount;
    }
    return bytes;
}

// A line of the launcher's log: "[0x<thread>|HH:mm:ss.zzz] message", the time counted from the start.
struct LogLine
{
    qint64 msecs = 0;
    QString message;
};

QList<LogLine> readLog(const QString& path)
{
    static const QRegularExpression format("^\\[0x[0-9a-f]+ *\\|(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d\\d)\\] (.*)$");
    QList<LogLine> lines;
    for (const QString& text : QString::fromUtf8(readFile(path)).split('\n')) {
        const QRegularExpressionMatch match = format.match(text);
        if (!match.hasMatch())
            continue;
        const qint64 msecs = ((match.captured(1).toLongLong() * 60 + match.captured(2).toLongLong()) * 60 +
                              match.captured(3).toLongLong()) *
                                 1000 +
                             match.captured(4).toLongLong();
        lines.append({msecs, match.captured(5)});
    }
    return lines;
}

// Seconds from the occurrence-th line starting with begin to the first line after it starting with
// end; -1 when the log has no such lines.
double span(const QList<LogLine>& log, const QString& begin, const QString& end, int occurrence = 1)
{
    qsizetype first = -1;
    for (qsizetype i = 0; i < log.size() && first < 0; ++i) {
        if (log[i].message.startsWith(begin) && --occurrence == 0)
            first = i;
    }
    for (qsizetype i = first + 1; first >= 0 && i < log.size(); ++i) {
        if (log[i].message.startsWith(end))
            return double(log[i].msecs - log[first].msecs) / 1000.0;
    }
    return -1;
}

// The download of one blob in log times (milliseconds, -1 when absent): the request of its first
// part, the last part received and the last line that reports the whole blob (for a blob of several
// parts, the join of the parts).
struct Download
{
    qint64 begin = -1;
    qint64 lastPart = -1;
    qint64 end = -1;

    double seconds() const { return begin >= 0 && end >= begin ? double(end - begin) / 1000.0 : -1; }
    double joinSeconds() const { return lastPart >= 0 && end >= lastPart ? double(end - lastPart) / 1000.0 : -1; }
};

Download download(const QList<LogLine>& log, const QString& url)
{
    Download times;
    for (const LogLine& line : log) {
        if (times.begin < 0 && line.message.startsWith("Starting download for \"" + url))
            times.begin = line.msecs;
        if (line.message.startsWith("Downloaded \"" + url + "_"))
            times.lastPart = line.msecs;
        if (line.message == "Downloaded \"" + url + "\" successfully.")
            times.end = line.msecs;
    }
    return times;
}

QString blobUrl(const QJsonObject& resource)
{
    return serverBase + "/blobs/" + resource["hash"].toString();
}

// A blob's parts as URLs, as the launcher requests them.
QStringList blobUrls(const QJsonObject& resource)
{
    const QString url = blobUrl(resource);
    const int parts = resource["parts"].toInt();
    if (parts == 1)
        return {url};
    QStringList urls;
    for (int i = 0; i < parts; ++i)
        urls.append(url + "_" + QString::number(i));
    return urls;
}

class Scenario
{
public:
    explicit Scenario(const QString& work) : work(work)
    {
        for (const char* folder : {"data", "home", "tmp", "curl"})
            QDir(work).mkpath(folder);
    }
    // Stops the server and removes the data; the logs of the launcher, the tool and nginx stay.
    ~Scenario()
    {
        if (serving)
            run({"bash", SERVE_SCRIPT, "stop", work + "/nginx"});
        for (const char* folder : {"source", "published", "data", "home", "tmp", "curl", "copy", "applied", "nothing"})
            QDir(work + "/" + folder).removeRecursively();
        QFile::remove(work + "/full.diff");
    }

    QString source(const QString& version) const { return work + "/source/" + version; }
    // Nothing installed and no launcher settings, as before a first run.
    void forgetInstall()
    {
        for (const char* folder : {"data", "home", "tmp"}) {
            QDir(work + "/" + folder).removeRecursively();
            QDir(work).mkpath(folder);
        }
        QFile::remove(work + "/game.record");
    }
    QString installDir() const { return work + "/data/pelwinter-launcher/pelwinter-installs/main"; }

    QJsonObject publish(const QStringList& versions)
    {
        QStringList command{PUBLISH_BRANCH_BINARY, work + "/published"};
        for (const QString& version : versions)
            command.append(version + "=" + source(version));
        printf("publishing %s...\n", qPrintable(versions.join(", ")));
        const Run published = run(command, {}, work + "/publish.log");
        if (published.exitCode != 0)
            fail("publish-branch failed; see " + work + "/publish.log");
        printf("publish-branch: %.1f s, peak memory %.0f MiB\n", published.seconds, published.peakMiB);
        const QJsonObject branch =
            QJsonDocument::fromJson(readFile(work + "/published/manifest-main-linux.json")).object();
        if (!serving) {
            if (run({"bash", SERVE_SCRIPT, "start", work + "/published", QString::number(BENCH_SERVER_PORT), CA_DIR,
                     work + "/nginx"})
                    .exitCode != 0)
                fail("nginx did not start");
            serving = true;
        }
        return branch;
    }

    // Runs the launcher; false unless it ended with the game started on the expected tree.
    bool runLauncher(const QString& expectedVersion)
    {
        const QString record = work + "/game.record";
        launcher = run({LAUNCHER_BINARY},
                       {"XDG_DATA_HOME=" + work + "/data", "HOME=" + work + "/home", "TMPDIR=" + work + "/tmp",
                        "FAKE_GAME_RECORD=" + record, "QT_QPA_PLATFORM=offscreen"},
                       work + "/launcher.out");
        QFile::remove(work + "/launcher.log");
        QFile::copy(work + "/data/pelwinter-launcher/pelwinter-launcher.log", work + "/launcher.log");
        log = readLog(work + "/launcher.log");
        for (int i = 0; i < 50 && !QFileInfo::exists(record); ++i)
            QThread::msleep(100);
        const bool done = readFile(work + "/launcher.out").contains("All done!");
        const bool same = run({"diff", "-r", "-q", installDir(), source(expectedVersion)}).exitCode == 0;
        printf("launcher: exit code %d, %s, game %s, install %s version %s\n", launcher.exitCode,
               done ? "\"All done!\"" : "NOT DONE", QFileInfo::exists(record) ? "started" : "NOT STARTED",
               same ? "identical to" : "DIFFERENT FROM", qPrintable(expectedVersion));
        return launcher.exitCode == 0 && done && same && QFileInfo::exists(record);
    }

    // curl fetching the blobs one after the other, the parts of each at once, as the launcher does.
    Run curl(const QList<QJsonObject>& resources)
    {
        Run total;
        QDir(work).mkpath("curl");
        for (const QJsonObject& resource : resources) {
            QStringList command{"curl", "--silent", "--fail", "--parallel", "--cacert", QString(CA_DIR) + "/ca.pem"};
            for (const QString& url : blobUrls(resource))
                command << "--output" << work + "/curl/" + url.section('/', -1) << url;
            const Run fetched = run(command);
            total.exitCode = qMax(total.exitCode, fetched.exitCode);
            total.seconds += fetched.seconds;
        }
        QDir(work + "/curl").removeRecursively();
        return total;
    }

    Run copyTree(const QString& version)
    {
        QDir(work + "/copy").removeRecursively();
        return run({"cp", "-r", source(version), work + "/copy"});
    }

    // The launcher's phases from its log, for a run that found an install (hashed first) or not.
    void printPhases(const QList<QJsonObject>& patches, bool hadInstall) const
    {
        const QString hashStart = "Starting game file hash job.";
        if (hadInstall)
            row("launcher: hash of the old install", span(log, hashStart, "Game file hash job finished,"));
        for (qsizetype i = 0; i < patches.size(); ++i) {
            const double size = mib(patches[i]["size"].toInteger());
            const Download times = download(log, blobUrl(patches[i]));
            const double seconds = times.seconds();
            const QString name = hadInstall ? QString("patch %1").arg(i + 1) : QString("full patch");
            row(QString("launcher: download %1 (%2 MiB)").arg(name).arg(size, 0, 'f', 1), seconds,
                QString("%1 MiB/s").arg(size / seconds, 0, 'f', 1));
            if (patches[i]["parts"].toInt() > 1)
                row("  of which joining the parts on disk", times.joinSeconds());
        }
        for (int i = 1; i <= patches.size(); ++i)
            row(hadInstall ? QString("launcher: apply patch %1").arg(i) : QString("launcher: apply full patch"),
                span(log, "Starting patch apply job.", "Patch applied successfully.", i));
        int hashJobs = 0;
        for (const LogLine& line : log)
            hashJobs += line.message.startsWith(hashStart) ? 1 : 0;
        row("launcher: rehash of the new install", span(log, hashStart, "Game file rehash job finished,", hashJobs));
        row("launcher: whole run, start to game", log.isEmpty() ? -1.0 : double(log.last().msecs) / 1000.0);
        row("launcher process", launcher.seconds, QString("peak RSS %1 MiB").arg(launcher.peakMiB, 0, 'f', 0));
        printPeak("launcher: peak anonymous memory", launcher.anonymous);
        printPeak("launcher: peak mapped file pages", launcher.filePages);
    }

    // A peak with the last log line before it, which tells what the launcher was doing.
    void printPeak(const char* label, const Peak& peak) const
    {
        QString phase;
        for (const LogLine& line : log) {
            if (double(line.msecs) / 1000.0 <= peak.atSeconds)
                phase = line.message;
        }
        printf("  %-44s %7.0f MiB at %.2f s, after \"%s\"\n", label, peak.mib, peak.atSeconds,
               qPrintable(phase.left(60)));
    }

    QString work;
    bool serving = false;
    Run launcher;
    QList<LogLine> log;
};

QList<QJsonObject> chainPatches(const QJsonObject& branch)
{
    QList<QJsonObject> patches;
    for (const QJsonValue& node : branch["patch_tree_nodes"].toArray())
        patches.append(node["patch_resource"].toObject());
    return patches;
}

qint64 totalSize(const QList<QJsonObject>& resources)
{
    qint64 total = 0;
    for (const QJsonObject& resource : resources)
        total += resource["size"].toInteger();
    return total;
}

void printComparison(const QList<QJsonObject>& blobs, const Run& curl, const Run& copy, const QString& copied)
{
    const double bytes = mib(totalSize(blobs));
    row(QString("curl, the same %1 MiB from nginx").arg(bytes, 0, 'f', 1), curl.seconds,
        curl.exitCode == 0 ? QString("%1 MiB/s").arg(bytes / curl.seconds, 0, 'f', 1) : "FAILED");
    row("cp -r of the " + copied + " tree", copy.seconds, copy.exitCode == 0 ? "" : "FAILED");
}

bool updateScenario(const QString& work, qint64 sizeMiB)
{
    printf("\n== update 1.0 -> 1.1 -> 1.2 of a %lld MiB install\n", (long long)sizeMiB);
    Scenario scenario(work);
    writeFirstVersion(scenario.source("1.0"), sizeMiB << 20);
    const QStringList versions{"1.0", "1.1", "1.2"};
    for (int step = 1; step < versions.size(); ++step) {
        const Changes changes =
            writeNextVersion(scenario.source(versions[step - 1]), scenario.source(versions[step]), step);
        printf("%s -> %s: %d files changed, %d added, %d deleted, %.1f MiB of new data\n",
               qPrintable(versions[step - 1]), qPrintable(versions[step]), changes.changed, changes.added,
               changes.deleted, mib(changes.newBytes));
    }
    int files = 0;
    const qint64 bytes = treeBytes(scenario.source("1.2"), &files);
    printf("1.2: %d files, %.1f MiB\n", files, mib(bytes));

    const QJsonObject branch = scenario.publish(versions);
    const QList<QJsonObject> patches = chainPatches(branch);
    // Installed at 1.0 with a receipt naming the version but no file records, so the run hashes it.
    QDir().mkpath(QFileInfo(scenario.installDir()).absolutePath());
    if (run({"cp", "-r", scenario.source("1.0"), scenario.installDir()}).exitCode != 0)
        fail("cannot install 1.0");
    writeFile(scenario.installDir() + ".json", R"({"version": "1.0", "branch": "main"})");

    const bool ok = scenario.runLauncher("1.2");
    scenario.printPhases(patches, true);
    printComparison(patches, scenario.curl(patches), scenario.copyTree("1.2"), "1.2");
    return ok;
}

// A median with the runs it came from.
void medianRow(const QString& label, const QList<double>& values, const QString& note = QString())
{
    printf("  %-44s %7.2f s  median of %s%s\n", qPrintable(label), medianOf(values), qPrintable(secondsList(values)),
           note.isEmpty() ? "" : qPrintable("; " + note));
}

QString ratio(double measured, double anchor, const char* anchorName, double target = 0)
{
    QString text = QString("%1x %2").arg(measured / anchor, 0, 'f', 2).arg(anchorName);
    if (target > 0)
        text +=
            QString(" (target <= %1x: %2)").arg(target, 0, 'f', 1).arg(measured / anchor <= target ? "met" : "MISSED");
    return text;
}

// One way of splitting the full patch into its parts, with what the runs from it measured.
struct Split
{
    QString name;
    QString partsDir; // the part files of this split, linked into the served folder in its turn
    QList<double> downloads, lastPartToBlob, curls;
    int extraRequests = 0; // part requests beyond one per part: restarts or retries
    int waitingParts = 0;  // parts that waited in a file of their own
};

// Part requests beyond one per part, and parts that waited in a file of their own, in the launcher's log.
QPair<int, int> restartsAndWaits(const QList<LogLine>& log, const QString& url, int parts)
{
    int requests = 0;
    int waits = 0;
    for (const LogLine& line : log) {
        requests += line.message.startsWith("Starting download for \"" + url + "_") ? 1 : 0;
        waits += line.message.startsWith("Part \"" + url + "_") && line.message.contains("\" waits in \"") ? 1 : 0;
    }
    return {requests - parts, waits};
}

// Five rounds of the launcher installing the game from each split, curl fetching the same parts and cp -r
// of the game, in turns that rotate which goes first; each timed step starts after sync (the launcher's
// phases follow one another inside its run).
bool fullInstallScenario(const QString& work, qint64 sizeMiB)
{
    printf("\n== full install of a %lld MiB game from its full patch in 3 parts, in two splits, %d interleaved "
           "rounds\n",
           (long long)sizeMiB, kRounds);
    Scenario scenario(work);
    writeFirstVersion(scenario.source("1.0"), sizeMiB << 20);
    const QJsonObject branch = scenario.publish({"1.0"});
    const QJsonObject fullPatch = branch["current_full_patch_resource"].toObject();
    const double patchMiB = mib(fullPatch["size"].toInteger());
    const QString hash = fullPatch["hash"].toString();
    const int parts = fullPatch["parts"].toInt();

    // The same patch in fixed-size chunks, published aside; the parts of each split are kept apart and
    // linked into the served folder for the runs that fetch them.
    const Run chunked =
        run({PUBLISH_BRANCH_BINARY, "--fixed-size-parts", work + "/published-chunks", "1.0=" + scenario.source("1.0")},
            {}, work + "/publish.log");
    const QJsonObject chunkedPatch =
        QJsonDocument::fromJson(readFile(work + "/published-chunks/manifest-main-linux.json"))
            .object()["current_full_patch_resource"]
            .toObject();
    if (chunked.exitCode != 0 || chunkedPatch != fullPatch)
        fail("the full patch published in fixed-size chunks is not the same patch; see " + work + "/publish.log");
    QList<Split> splits{{"the launcher's shares", work + "/split-shares"},
                        {"fixed-size chunks", work + "/split-chunks"}};
    for (int i = 0; i < 2; ++i) {
        QDir().mkpath(splits[i].partsDir);
        QStringList sizes;
        for (int part = 0; part < parts; ++part) {
            const QString name = "/" + hash + "_" + QString::number(part);
            const QString from = (i == 0 ? work + "/published/blobs" : work + "/published-chunks/blobs") + name;
            if (::link(QFile::encodeName(from).constData(), QFile::encodeName(splits[i].partsDir + name).constData()))
                fail("cannot keep " + from);
            sizes.append(QString::number(QFileInfo(from).size()));
        }
        printf("%s: parts of %s bytes\n", qPrintable(splits[i].name), qPrintable(sizes.join(", ")));
    }
    QDir(work + "/published-chunks").removeRecursively();
    const auto serveSplit = [&](const Split& split) {
        for (int part = 0; part < parts; ++part) {
            const QString name = "/" + hash + "_" + QString::number(part);
            QFile::remove(work + "/published/blobs" + name);
            if (::link(QFile::encodeName(split.partsDir + name).constData(),
                       QFile::encodeName(work + "/published/blobs" + name).constData()))
                fail("cannot serve " + split.name);
        }
    };

    bool ok = true;
    double peakMiB = 0;
    Peak anonymous;
    Peak filePages;
    QList<double> applies, launcherRuns, copies, engineApplies;
    // the patch as the launcher has it once downloaded, for the engine on its own
    const QString fullDiff = work + "/full.diff";
    QStringList join{"sh", "-c", "cat \"$@\" > " + fullDiff, "sh"};
    for (int part = 0; part < parts; ++part)
        join.append(splits[0].partsDir + "/" + hash + "_" + QString::number(part));
    if (run(join).exitCode != 0)
        fail("cannot join the full patch's parts");
    const int steps = 6;
    for (int round = 0; round < kRounds; ++round) {
        printf("round %d, load average %s\n", round + 1, qPrintable(loadAverages()));
        for (int turn = 0; turn < steps; ++turn) {
            const int step = (round + turn) % steps;
            if (step < 4) {
                Split& split = splits[step / 2];
                serveSplit(split);
                if (step % 2 == 1) {
                    const Run fetched = scenario.curl({fullPatch});
                    if (fetched.exitCode != 0)
                        printf("curl FAILED with exit code %d\n", fetched.exitCode);
                    ok = fetched.exitCode == 0 && ok;
                    split.curls.append(fetched.seconds);
                    continue;
                }
                scenario.forgetInstall();
                ok = scenario.runLauncher("1.0") && ok;
                const Download times = download(scenario.log, blobUrl(fullPatch));
                split.downloads.append(times.seconds());
                split.lastPartToBlob.append(times.joinSeconds());
                const QPair<int, int> extra = restartsAndWaits(scenario.log, blobUrl(fullPatch), parts);
                split.extraRequests += extra.first;
                split.waitingParts += extra.second;
                printf("  %s: download %.2f s, %d part requests beyond one each, %d parts waited in a file\n",
                       qPrintable(split.name), times.seconds(), extra.first, extra.second);
                applies.append(span(scenario.log, "Starting patch apply job.", "Patch applied successfully."));
                launcherRuns.append(scenario.launcher.seconds);
                peakMiB = qMax(peakMiB, scenario.launcher.peakMiB);
                scenario.printPeak("launcher: peak anonymous memory", scenario.launcher.anonymous);
                if (scenario.launcher.anonymous.mib > anonymous.mib)
                    anonymous = scenario.launcher.anonymous;
                if (scenario.launcher.filePages.mib > filePages.mib)
                    filePages = scenario.launcher.filePages;
            } else if (step == 4) {
                QDir(work + "/applied").removeRecursively();
                // the launcher's settings; a full patch's old side is an empty folder
                QDir(work).mkpath("nothing");
                const Run applied = run(
                    {DIRPATCH_BINARY, "-s-512m", "-n-24", "-C-no", work + "/nothing/", fullDiff, work + "/applied"});
                if (applied.exitCode != 0)
                    printf("dirpatch FAILED with exit code %d\n", applied.exitCode);
                ok = applied.exitCode == 0 && ok;
                engineApplies.append(applied.seconds);
            } else {
                const Run copied = scenario.copyTree("1.0");
                if (copied.exitCode != 0)
                    printf("cp -r FAILED with exit code %d\n", copied.exitCode);
                ok = copied.exitCode == 0 && ok;
                copies.append(copied.seconds);
            }
        }
    }
    printf("medians (load average now %s):\n", qPrintable(loadAverages()));
    for (const Split& split : std::as_const(splits)) {
        printf("  full patch (%.1f MiB) in %s:\n", patchMiB, qPrintable(split.name));
        medianRow("launcher: download", split.downloads,
                  ratio(medianOf(split.downloads), medianOf(split.curls), "curl"));
        medianRow("  from the last part to the whole blob", split.lastPartToBlob);
        medianRow("curl, the same parts from nginx", split.curls);
        printf("  %-44s %d restarts, %d parts in files of their own: %s\n", "in all its launcher runs",
               split.extraRequests, split.waitingParts,
               split.extraRequests == 0 && split.waitingParts == 0 ? "no join" : "NOT WRITTEN IN PLACE");
        ok = split.extraRequests == 0 && split.waitingParts == 0 && ok;
    }
    printf("  %-44s %.2fx\n", "download, fixed-size chunks / shares",
           medianOf(splits[1].downloads) / medianOf(splits[0].downloads));
    medianRow("launcher: apply full patch", applies, ratio(medianOf(applies), medianOf(copies), "cp -r", 1.2));
    medianRow("  the same patch, dirpatch alone after sync", engineApplies,
              ratio(medianOf(engineApplies), medianOf(copies), "cp -r", 1.2));
    medianRow("cp -r of the 1.0 tree", copies);
    medianRow("launcher process, start to exit", launcherRuns);
    printf("  %-44s %7.0f MiB\n  %-44s %7.0f MiB\n", "launcher: peak anonymous memory, any round", anonymous.mib,
           "launcher: peak mapped file pages, any round", filePages.mib);
    printf("peak RSS %.0f MiB against the budget of %.0f MiB (200 MiB + the engine's 512 MiB cache): %s; the "
           "patch is %.0f MiB\n",
           peakMiB, kBudgetMiB, peakMiB <= kBudgetMiB ? "within" : "OVER", patchMiB);
    return ok && peakMiB <= kBudgetMiB;
}
// Bytes that the tree at root takes on its disk, as du counts them: every file once, however many links
// it has.
qint64 diskUse(const QString& root)
{
    qint64 bytes = 0;
    QSet<QPair<quint64, quint64>> seen;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat info;
        if (::lstat(QFile::encodeName(it.next()).constData(), &info) != 0)
            continue;
        const QPair<quint64, quint64> file(info.st_dev, info.st_ino);
        if (seen.contains(file))
            continue;
        seen.insert(file);
        bytes += qint64(info.st_blocks) * 512;
    }
    return bytes;
}

// The small update's trees: 1.0, and 1.1 with the files the patch writes whole.
struct SmallUpdate
{
    QStringList written; // changed and new files of 1.1, relative
    qint64 writtenBytes = 0;
};

SmallUpdate writeSmallUpdate(const QString& first, const QString& next, qint64 sizeMiB)
{
    const qint64 pakBytes = (sizeMiB << 20) / 4;
    const qint64 fileBytes = sizeMiB * 1280; // 960 KiB of 768 MiB
    writeFile(first + "/" + gamePath, gameExecutable("1.0").toUtf8(), true);
    quint32 seed = 500;
    for (int i = 0; i < 3; ++i)
        writeFile(QString("%1/Pelwinter/Content/Paks/pak%2.pak").arg(first).arg(i), randomBytes(pakBytes, seed++));
    for (int i = 0; i < 200; ++i)
        writeFile(QString("%1/Pelwinter/Content/Set%2/file%3.uasset").arg(first).arg(i % 8).arg(i),
                  randomBytes(fileBytes, seed++));
    if (run({"cp", "-al", first, next}).exitCode != 0)
        fail("cannot copy " + first);

    SmallUpdate update;
    QRandomGenerator random(77);
    const auto rewrite = [&](const QString& relative, int stretches, qsizetype stretch) {
        QByteArray content = readFile(next + "/" + relative);
        for (int i = 0; i < stretches; ++i)
            content.replace(content.size() / stretches * i, stretch, randomBytes(stretch, random.generate()));
        writeFile(next + "/" + relative, content);
        update.written.append(relative);
        update.writtenBytes += content.size();
    };
    rewrite("Pelwinter/Content/Paks/pak0.pak", 8, 256 * 1024);
    for (int i : {10, 20, 30})
        rewrite(QString("Pelwinter/Content/Set%1/file%2.uasset").arg(i % 8).arg(i), 4, 64 * 1024);
    for (int i = 0; i < 6; ++i) {
        const QString relative = QString("Pelwinter/Content/Set%1/added%2.uasset").arg(i % 8).arg(i);
        writeFile(next + "/" + relative, randomBytes(fileBytes, random.generate()));
        update.written.append(relative);
        update.writtenBytes += fileBytes;
    }
    for (int i : {40, 50, 60})
        QFile::remove(QString("%1/Pelwinter/Content/Set%2/file%3.uasset").arg(next).arg(i % 8).arg(i));
    return update;
}

// One file system of the small update: the launcher's data folder lies on it, the sources and the server
// on the work disk.
class SmallUpdateRoad
{
public:
    SmallUpdateRoad(const QString& work, const QString& disk, const QStringList& extraEnvironment)
        : work(work), disk(disk), extra(extraEnvironment)
    {
        for (const char* folder : {"data", "home", "tmp"})
            QDir(disk).mkpath(folder);
    }

    QString installs() const { return disk + "/data/pelwinter-launcher/pelwinter-installs"; }
    QString installDir() const { return installs() + "/main"; }

    // Runs the launcher, sampling the installs folder's disk use; true when it started the game.
    bool runLauncher(Peak* diskPeak = nullptr)
    {
        QFile::remove(work + "/game.record");
        QElapsedTimer timer;
        QStringList environment{"XDG_DATA_HOME=" + disk + "/data", "HOME=" + disk + "/home", "TMPDIR=" + disk + "/tmp",
                                "FAKE_GAME_RECORD=" + work + "/game.record", "QT_QPA_PLATFORM=offscreen"};
        environment += extra;
        const pid_t child = startAfterSync({LAUNCHER_BINARY}, environment, QString(), work + "/launcher.out", &timer);
        int status = 0;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (diskPeak)
                diskPeak->see(mib(diskUse(installs())), double(timer.nsecsElapsed()) / 1e9);
            usleep(5000);
        }
        seconds = double(timer.nsecsElapsed()) / 1e9;
        log = readLog(disk + "/data/pelwinter-launcher/pelwinter-launcher.log");
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 && readFile(work + "/launcher.out").contains("All done!");
    }

    // The count of the n-th "Found N game files that require hashing." line; -1 without one.
    int hashed(int occurrence) const
    {
        for (const LogLine& line : log) {
            if (line.message.startsWith("Found ") && line.message.endsWith(" game files that require hashing.") &&
                --occurrence == 0)
                return line.message.section(' ', 1, 1).toInt();
        }
        return -1;
    }

    // Puts the install of a kept copy in place, with its receipt; the copy keeps the files' times, so the
    // receipt's records hold for it.
    void restore(const QString& kept)
    {
        QDir(installDir()).removeRecursively();
        QFile::remove(installDir() + ".json");
        if (run({"cp", "-a", kept, installDir()}).exitCode != 0 || !QFile::copy(kept + ".json", installDir() + ".json"))
            fail("cannot restore " + kept);
    }
    void keep(const QString& kept)
    {
        if (run({"cp", "-a", installDir(), kept}).exitCode != 0 || !QFile::copy(installDir() + ".json", kept + ".json"))
            fail("cannot keep " + kept);
    }

    QString work;
    QString disk;
    QStringList extra;
    double seconds = 0;
    QList<LogLine> log;
};

bool smallUpdateOn(const QString& label, const QString& work, const QString& disk, const SmallUpdate& update,
                   qint64 patchBytes, const QStringList& extraEnvironment = {})
{
    printf("\n-- %s: %s, load average %s\n", qPrintable(label), qPrintable(disk), qPrintable(loadAverages()));
    SmallUpdateRoad road(work, disk, extraEnvironment);
    // the server's folder holds the blobs of both publications; the branch manifest says which is current
    const auto serve = [&](const QString& published) {
        const QString manifest = work + "/served/manifest-main-linux.json";
        QFile::remove(manifest);
        if (!QFile::copy(published + "/manifest-main-linux.json", manifest))
            fail("cannot serve " + published);
    };

    // 1.0 as a player has it: installed and found up to date once, so its receipt holds every record.
    QDir().mkpath(road.installs());
    if (run({"cp", "-r", work + "/source/1.0", road.installDir()}).exitCode != 0)
        fail("cannot install 1.0");
    writeFile(road.installDir() + ".json", R"({"version": "1.0", "branch": "main"})");
    serve(work + "/published-1.0");
    if (!road.runLauncher())
        fail(label + ": the launcher did not find 1.0 up to date; see " + work + "/launcher.out");
    road.keep(disk + "/kept-1.0");
    serve(work + "/published-1.1");

    bool ok = true;
    QList<double> updates, applies, swaps, rehashes, upToDates, copies, anchors, extras;
    QList<int> rehashed;
    for (int round = 0; round < kRounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((round + turn) % 2 == 0) {
                road.restore(disk + "/kept-1.0");
                const double baseline = mib(diskUse(road.installs()) + patchBytes);
                Peak peak;
                const bool done = road.runLauncher(&peak);
                const bool same =
                    round > 0 || run({"diff", "-r", "-q", road.installDir(), work + "/source/1.1"}).exitCode == 0;
                if (!done || !same)
                    printf("update FAILED: %s, install %s; the launcher's last words: %s\n", done ? "done" : "not done",
                           same ? "1.1" : "NOT 1.1", readFile(work + "/launcher.out").right(300).constData());
                ok = done && same && ok;
                updates.append(road.seconds);
                applies.append(span(road.log, "Starting patch apply job.", "Patch applied successfully."));
                swaps.append(span(road.log, "Patch applied successfully.", "Saved install receipt."));
                rehashes.append(span(road.log, "Starting game file hash job.", "Game file rehash job finished,", 2));
                extras.append(peak.mib - baseline);
                rehashed.append(road.hashed(2));
                if (!QFileInfo::exists(disk + "/kept-1.1"))
                    road.keep(disk + "/kept-1.1");
            } else {
                if (!QFileInfo::exists(disk + "/kept-1.1")) {
                    // the first round's update makes the up-to-date install
                    --turn;
                    continue;
                }
                road.restore(disk + "/kept-1.1");
                ok = road.runLauncher() && ok;
                upToDates.append(road.seconds);
                QDir(disk + "/copied").removeRecursively();
                QDir(disk).mkpath("copied");
                QStringList command{"cp", "--reflink=never"};
                for (const QString& relative : update.written)
                    command.append(work + "/source/1.1/" + relative);
                command.append(disk + "/copied/");
                const Run copied = run(command);
                ok = copied.exitCode == 0 && ok;
                copies.append(copied.seconds);
                anchors.append(upToDates.last() + copies.last());
            }
        }
    }
    QDir(disk + "/copied").removeRecursively();
    printf("medians of %d interleaved rounds (load average now %s):\n", kRounds, qPrintable(loadAverages()));
    medianRow("launcher: update 1.0 -> 1.1, start to exit", updates,
              ratio(medianOf(updates), medianOf(anchors), "the anchor", 1.5));
    medianRow("  of which the apply", applies);
    medianRow("  the swap up to the receipt naming 1.1", swaps);
    medianRow("  the rehash after patching", rehashes);
    medianRow("anchor: up to date at 1.1 + cp of written files", anchors);
    medianRow("  up-to-date run at 1.1", upToDates);
    medianRow(QString("  cp --reflink=never of %1 files (%2 MiB)")
                  .arg(update.written.size())
                  .arg(mib(update.writtenBytes), 0, 'f', 1),
              copies);
    double largest = 0;
    QStringList extraList;
    for (double extra : std::as_const(extras)) {
        largest = qMax(largest, extra);
        extraList.append(QString::number(extra, 'f', 0));
    }
    const double allowed = 4 * mib(update.writtenBytes) + 16;
    printf("  %-44s %7.0f MiB  of %s; target <= %.0f MiB (4x the written files + 16 MiB): %s\n",
           "largest extra disk use during the update", largest, qPrintable(extraList.join(' ')), allowed,
           largest <= allowed ? "met" : "MISSED");
    QStringList counts;
    bool onlyWritten = true;
    for (int count : std::as_const(rehashed)) {
        counts.append(QString::number(count));
        onlyWritten = onlyWritten && count == update.written.size();
    }
    printf("  %-44s %s; the patch writes %lld: %s\n", "files hashed by the rehash after patching",
           qPrintable(counts.join(' ')), (long long)update.written.size(), onlyWritten ? "only those" : "MORE");
    for (const char* kept : {"/kept-1.0", "/kept-1.1"}) {
        QDir(disk + kept).removeRecursively();
        QFile::remove(disk + kept + ".json");
    }
    QDir(disk + "/data").removeRecursively();
    return ok && onlyWritten;
}

bool smallUpdateScenario(const QString& work, qint64 sizeMiB)
{
    printf("\n== small update 1.0 -> 1.1 of a %lld MiB install: 4 files rewritten in stretches, 6 added, 3 deleted\n",
           (long long)sizeMiB);
    Scenario scenario(work);
    const SmallUpdate update = writeSmallUpdate(scenario.source("1.0"), scenario.source("1.1"), sizeMiB);
    int files = 0;
    const qint64 bytes = treeBytes(scenario.source("1.0"), &files);
    printf("1.0: %d files, %.1f MiB; 1.1 writes %lld files whole, %.1f MiB\n", files, mib(bytes),
           (long long)update.written.size(), mib(update.writtenBytes));
    for (const QStringList& versions : {QStringList{"1.0"}, QStringList{"1.0", "1.1"}}) {
        QStringList command{PUBLISH_BRANCH_BINARY, work + "/published-" + versions.last()};
        for (const QString& version : versions)
            command.append(version + "=" + scenario.source(version));
        const Run published = run(command, {}, work + "/publish.log");
        if (published.exitCode != 0)
            fail("publish-branch failed; see " + work + "/publish.log");
    }
    const QJsonObject branch =
        QJsonDocument::fromJson(readFile(work + "/published-1.1/manifest-main-linux.json")).object();
    const qint64 patchBytes = totalSize(chainPatches(branch));
    printf("patch 1.0 -> 1.1: %.1f MiB\n", mib(patchBytes));
    QDir(work).mkpath("served");
    for (const char* published : {"/published-1.0/.", "/published-1.1/."}) {
        if (run({"cp", "-alf", work + published, work + "/served/"}).exitCode != 0)
            fail("cannot serve the branch");
    }
    if (run({"bash", SERVE_SCRIPT, "start", work + "/served", QString::number(BENCH_SERVER_PORT), CA_DIR,
             work + "/nginx"})
            .exitCode != 0)
        fail("nginx did not start");
    scenario.serving = true;

    bool ok = smallUpdateOn("work disk", work, work + "/disk", update, patchBytes);
    // where the kernel has no vfat, the same refusal of links from the fault module
    ok = smallUpdateOn(
             "work disk, links refused (EPERM)", work, work + "/refused", update, patchBytes,
             {"LD_PRELOAD=" LAUNCHER_FAULTS, "PELWINTER_FAULT_REFUSE_LINKS=" + work +
                                                 "/refused/data/pelwinter-launcher/pelwinter-installs/main_new/"}) &&
         ok;
    const qint64 imageBytes = (sizeMiB << 20) * 6;
    for (ScratchMount::Kind kind : {ScratchMount::Xfs, ScratchMount::Vfat}) {
        const QString name = kind == ScratchMount::Xfs ? "XFS" : "vfat";
        ScratchMount mount(kind, imageBytes);
        if (!mount.isMounted()) {
            printf("\n-- %s: skipped, %s\n", qPrintable(name), qPrintable(mount.whyNot()));
            continue;
        }
        ok = smallUpdateOn("loop-mounted " + name, work, mount.path(), update, patchBytes) && ok;
    }
    for (const char* folder : {"published-1.0", "published-1.1", "served", "disk", "refused"})
        QDir(work + "/" + folder).removeRecursively();
    return ok;
}

// One way of answering the full patch's parts in the waiting scenario, with what its runs measured.
struct Answering
{
    QString name;
    bool firstLate = false;   // part 0 answers 6 s late
    bool lastChunked = false; // the last part comes without a length
    QList<double> downloads, peaks;
    int waitingParts = 0; // parts that went on waiting in a file of their own
};

// A full install from the full patch in 3 and in 5 parts, served by the test server (nginx can neither
// hold an answer back nor leave out a length): all parts at once; part 0 answering 6 s late, the others
// placed from the end, as their lengths are known; and part 0 late with the last part chunked, so that the
// parts between can't know their places and their bytes wait, in memory up to the launcher's limit and
// beyond it in files of their own. Five interleaved rounds, each run after sync; printed are the medians
// of the download and the launcher's peak resident memory, and what the waiting cost against part 0 late
// alone.
bool waitingPartsScenario(const QString& work, qint64 sizeMiB)
{
    printf("\n== full install of a %lld MiB game from its full patch with parts waiting for their places, %d "
           "interleaved rounds\n",
           (long long)sizeMiB, kRounds);
    Scenario scenario(work);
    writeFirstVersion(scenario.source("1.0"), sizeMiB << 20);
    const double limitMiB = mib(RetrieveFileJob::waitingMemoryLimit);
    bool ok = true;
    for (const int parts : {3, 5}) {
        const QString published = work + QString("/published-%1").arg(parts);
        if (run({PUBLISH_BRANCH_BINARY, "--full-parts", QString::number(parts), published,
                 "1.0=" + scenario.source("1.0")},
                {}, work + "/publish.log")
                .exitCode != 0)
            fail("publish-branch failed; see " + work + "/publish.log");
        const QJsonObject fullPatch = QJsonDocument::fromJson(readFile(published + "/manifest-main-linux.json"))
                                          .object()["current_full_patch_resource"]
                                          .toObject();
        const QString blob = "/update/blobs/" + fullPatch["hash"].toString();
        TestUpdateServer server(CA_DIR, published);
        if (!server.start(BENCH_SERVER_PORT))
            fail("the test server did not start");
        printf("full patch of %.1f MiB in %d parts, from the test server, load average %s\n",
               mib(fullPatch["size"].toInteger()), parts, qPrintable(loadAverages()));

        QList<Answering> ways{{"all at once"}, {"part 0 late", true}, {"part 0 late, last chunked", true, true}};
        for (int round = 0; round < kRounds; ++round) {
            for (int turn = 0; turn < ways.size(); ++turn) {
                Answering& way = ways[(round + turn) % ways.size()];
                server.clearFaults();
                if (way.firstLate)
                    server.setFaults(blob + "_0", {{.delayMSecs = 6000}});
                if (way.lastChunked)
                    server.setFaults(blob + "_" + QString::number(parts - 1), {{.fault = "chunked"}});
                scenario.forgetInstall();
                ok = scenario.runLauncher("1.0") && ok;
                const Download times = download(scenario.log, blobUrl(fullPatch));
                const int waits = restartsAndWaits(scenario.log, blobUrl(fullPatch), parts).second;
                way.downloads.append(times.seconds());
                way.peaks.append(scenario.launcher.peakMiB);
                way.waitingParts += waits;
                printf("  %s: download %.2f s, peak RSS %.0f MiB, %d parts waited in a file\n", qPrintable(way.name),
                       times.seconds(), scenario.launcher.peakMiB, waits);
            }
        }
        printf("medians of %d parts (load average now %s):\n", parts, qPrintable(loadAverages()));
        for (const Answering& way : std::as_const(ways)) {
            medianRow("download, " + way.name, way.downloads);
            QStringList peaks;
            for (double peak : way.peaks)
                peaks.append(QString::number(peak, 'f', 0));
            printf("  %-44s %7.0f MiB  median of %s\n", "  peak RSS", medianOf(way.peaks), qPrintable(peaks.join(' ')));
        }
        const double extraMiB = medianOf(ways[2].peaks) - medianOf(ways[1].peaks);
        const double worstMiB =
            *std::max_element(ways[2].peaks.cbegin(), ways[2].peaks.cend()) - medianOf(ways[1].peaks);
        printf("  %-44s %+7.0f MiB (%+.0f MiB at most) against the waiting limit of %.0f MiB: %s\n",
               "peak RSS, waiting / part 0 late", extraMiB, worstMiB, limitMiB,
               worstMiB <= limitMiB + 8 ? "within" : "OVER");
        printf("  %-44s %.2fx; %d parts waited in files in all\n", "download, waiting / part 0 late",
               medianOf(ways[2].downloads) / medianOf(ways[1].downloads), ways[2].waitingParts);
        ok = worstMiB <= limitMiB + 8 && ok;
        QDir(published).removeRecursively();
    }
    return ok;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 updateMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const qint64 fullMiB = argc > 2 ? QByteArray(argv[2]).toLongLong() : 2048;
    QTemporaryDir temporary(QDir::currentPath() + "/pipeline-benchmark-XXXXXX");
    const QString work = argc > 3 && argv[3][0] ? QDir(argv[3]).absolutePath() : temporary.path();
    const qint64 smallUpdateMiB = argc > 4 ? QByteArray(argv[4]).toLongLong() : 768;
    const qint64 waitingMiB = argc > 5 ? QByteArray(argv[5]).toLongLong() : 200;
    if (argc > 3 && QDir(work).exists() && !QDir(work).isEmpty()) {
        fprintf(stderr, "pipeline_benchmark: %s is not empty\n", qPrintable(work));
        return 1;
    }
    printf("server %s (nginx), launcher %s, work folder %s, load average %s\n", qPrintable(serverBase), LAUNCHER_BINARY,
           qPrintable(work), qPrintable(loadAverages()));

    bool ok = true;
    try {
        if (updateMiB > 0)
            ok = updateScenario(work + "/update", updateMiB) && ok;
        if (fullMiB > 0)
            ok = fullInstallScenario(work + "/full", fullMiB) && ok;
        if (smallUpdateMiB > 0)
            ok = smallUpdateScenario(work + "/small", smallUpdateMiB) && ok;
        if (waitingMiB > 0)
            ok = waitingPartsScenario(work + "/waiting", waitingMiB) && ok;
    } catch (const Failure& failure) {
        fprintf(stderr, "pipeline_benchmark: %s\n", qPrintable(failure.message));
        return 1;
    }
    return ok ? 0 : 1;
}
