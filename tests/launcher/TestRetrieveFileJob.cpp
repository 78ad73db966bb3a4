#include "BuildConfig.h"
#include "ThreadSafeLogWriter.h"
#include "jobs/RetrieveCompressedFileJob.h"
#include "jobs/RetrieveFileJob.h"
#include "jobs/RetrieveManifestJob.h"
#include "support/GameContent.h"
#include "support/RandomBytes.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zstd.h>

using FaultRule = TestUpdateServer::FaultRule;
using PartFaults = QMap<QString, QList<FaultRule>>; // part suffix ("", "_0", "_1", ...) -> rules

Q_DECLARE_METATYPE(PartFaults)

namespace
{
// Records the messages of the process through the launcher's own log writer, as they end up in
// its log file, without the thread and time columns.
class LogRecording
{
public:
    LogRecording() : writer(std::make_unique<ThreadSafeLogWriter>(dir.filePath("launcher.log"))) {}

    QStringList finish()
    {
        writer.reset();
        QFile file(dir.filePath("launcher.log"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        static const QRegularExpression prefix(R"(^\[0x[0-9a-f]+ *\|\d\d:\d\d:\d\d\.\d\d\d\] )");
        QStringList messages;
        for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
            const QRegularExpressionMatch match = prefix.match(line);
            if (match.hasMatch())
                messages.append(line.mid(match.capturedLength()));
        }
        return messages;
    }

private:
    QTemporaryDir dir;
    std::unique_ptr<ThreadSafeLogWriter> writer;
};

// Every line of `expected` must appear in `log`, in this order (other lines may lie between).
bool containsInOrder(const QStringList& log, const QStringList& expected, QString* missing)
{
    qsizetype at = 0;
    for (const QString& line : expected) {
        at = log.indexOf(line, at);
        if (at < 0) {
            *missing = line;
            return false;
        }
        ++at;
    }
    return true;
}

// Every line of `expected` appears in `log` in this order, and no line of `log` starts with one of
// `absent` ({url} in either stands for url); else what is wrong.
QString checkLog(const QStringList& log, QStringList expected, QStringList absent, const QString& url)
{
    QString missing;
    for (QString& line : expected)
        line.replace("{url}", url);
    if (!containsInOrder(log, expected, &missing))
        return "missing log line: " + missing + "\nlog:\n" + log.join('\n');
    for (QString& start : absent) {
        start.replace("{url}", url);
        for (const QString& line : log) {
            if (line.startsWith(start))
                return "unexpected log line: " + line;
        }
    }
    return QString();
}

QString compactJson(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Failed attempt n of a part waits n steps before the next one.
int pauseStep()
{
    return BuildConfig::retryPolicy().downloadPauseStepMSecs;
}

// After its outcome a job must stay silent: long enough for any retry it might still have pending.
int lateSignalWindow()
{
    return 10 * pauseStep() + 50;
}
} // namespace

class TestRetrieveFileJob : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void download_data();
    void download();
    void unevenSplits_data();
    void unevenSplits();
    void splitLimits_data();
    void splitLimits();
    void progressSignals();
    void everyPartFailingReportsOnce();
    void streamedWriteFailureFailsAtOnce_data();
    void streamedWriteFailureFailsAtOnce();
    void unknownCertificateAuthorityFails();
    void partsOfUnknownSizeShareBlocksWhenJoined();
    void waitingPartsStayWithinTheirMemory_data();
    void waitingPartsStayWithinTheirMemory();
    void memoryThatCanNotBeHadFailsTheDownload_data();
    void memoryThatCanNotBeHadFailsTheDownload();

private:
    struct Run
    {
        QStringList events;
        QByteArray bytes;
        QList<QPair<qint64, qint64>> progress;
        QStringList strayFiles; // streamed to disk: files other than the output seen while downloading
        QByteArray digest;      // "repair": the BLAKE3 digest the decompressed file must have
        bool ended = false;
    };
    // A job of the kind, whose signals are recorded in run.
    std::unique_ptr<RetrieveFileJob> makeJob(const QString& kind, const QString& url, int parts, qint64 size, Run* run);
    // Starts the job and waits for its outcome (run.ended) and a little beyond, so that late signals
    // would be seen; returns what it logged.
    static QStringList runToOutcome(RetrieveFileJob* job, const Run& run, int timeoutMSecs);

    // Where downloads streamed to disk go; nothing else may appear in its folder.
    QString streamedPath() const { return downloads.filePath("patch_0.diff"); }
    // download-job: one job in a process of its own, to output (none: into memory), with at most
    // addressSpaceLimit bytes of address space (0: as this process has); its log lines go to onLogLine as
    // they come.
    struct AloneRun
    {
        bool ended = false;      // the process ended by itself, not by a signal
        bool downloaded = false; // and reported the resource downloaded
        qint64 peakKiB = -1;     // peak resident memory
        qint64 addressSpaceKiB = -1;
        QStringList log;
    };
    AloneRun downloadAlone(const QString& url, int parts, qint64 size, const QString& output,
                           qint64 addressSpaceLimit = 0, const std::function<void(const QString&)>& onLogLine = {});
    QStringList downloadedFiles() const { return QDir(downloads.path()).entryList(QDir::Files | QDir::Hidden); }

    std::unique_ptr<TestUpdateServer> server;
    QNetworkAccessManager networkManager;
    QTemporaryDir downloads;
    int blobCounter = 0;
};

void TestRetrieveFileJob::initTestCase()
{
    QVERIFY(TestUpdateServer::trustTestCa(TEST_CA_DIR));
    server = std::make_unique<TestUpdateServer>(TEST_CA_DIR);
    QVERIFY(server->start());
}

void TestRetrieveFileJob::cleanupTestCase()
{
    server.reset();
}

std::unique_ptr<RetrieveFileJob> TestRetrieveFileJob::makeJob(const QString& kind, const QString& url, int parts,
                                                              qint64 size, Run* run)
{
    std::unique_ptr<RetrieveFileJob> job;
    if (kind == "manifest") {
        auto* manifestJob = new RetrieveManifestJob(&networkManager, url, "Local Manifest", parts, size, nullptr);
        connect(manifestJob, &RetrieveManifestJob::manifestFinished, this, [run](const QJsonObject& manifest) {
            run->events.append("manifestFinished");
            run->bytes = compactJson(manifest).toUtf8();
            run->ended = true;
        });
        job.reset(manifestJob);
    } else if (kind == "compressed" || kind == "repair") {
        auto* compressedJob = new RetrieveCompressedFileJob(&networkManager, url, "File", parts, size, nullptr);
        // A repair streams the blob to a file beside the one it repairs and decompresses it from there.
        if (kind == "repair")
            compressedJob->setDecompressedFile(downloads.filePath("repaired.bin"), run->digest);
        connect(compressedJob, &RetrieveCompressedFileJob::decompressionFinished, this,
                [run, kind, compressedJob](const QByteArray& file) {
                    run->events.append("decompressionFinished");
                    run->bytes = file;
                    if (kind == "repair") {
                        QFile decompressed(compressedJob->decompressedFilePath());
                        run->bytes =
                            decompressed.open(QIODevice::ReadOnly) ? decompressed.readAll() : "not decompressed";
                        QFile::remove(decompressed.fileName());
                    }
                    run->ended = true;
                });
        connect(compressedJob, &RetrieveCompressedFileJob::decompressionFailed, this, [run] {
            run->events.append("decompressionFailed");
            run->ended = true;
        });
        job.reset(compressedJob);
    } else {
        job = std::make_unique<RetrieveFileJob>(&networkManager, url, "Patch 0", parts, size, nullptr);
        if (kind == "disk")
            job->setOutputFile(streamedPath());
    }
    if (kind == "disk" || kind == "repair") {
        // The output file is the patch, or the repair's blob ("repaired.bin.<random>.download").
        connect(job.get(), &RetrieveFileJob::updateProgressBytes, this, [this, run] {
            for (const QString& file : downloadedFiles()) {
                if (file != "patch_0.diff" && !file.endsWith(".download") && !run->strayFiles.contains(file))
                    run->strayFiles.append(file);
            }
        });
    }
    connect(job.get(), &RetrieveFileJob::updateProgress, this, [run](const QString& format, qlonglong, qlonglong max) {
        if (max == 2 && !format.contains("%p"))
            run->events.append("label " + format);
    });
    connect(job.get(), &RetrieveFileJob::updateInfoText, this, [run](const QString& line1, const QString& line2) {
        if (line1 == "Done!" && line2.isEmpty())
            run->events.append("Done!");
    });
    connect(job.get(), &RetrieveFileJob::updateProgressBytes, this, [run](qlonglong received, qlonglong total) {
        run->progress.append({received, total});
    });
    connect(job.get(), &RetrieveFileJob::downloaded, this, [this, run, kind](const QByteArray& file) {
        run->events.append("downloaded");
        if (kind == "file") {
            run->bytes = file;
            run->ended = true;
        } else if (kind == "disk") {
            QFile saved(streamedPath());
            run->bytes = saved.open(QIODevice::ReadOnly) && file.isEmpty() ? saved.readAll() : "not saved";
            run->ended = true;
        }
    });
    connect(job.get(), &RetrieveFileJob::failed, this, [run] {
        run->events.append("failed");
        run->ended = true;
    });
    return job;
}

QStringList TestRetrieveFileJob::runToOutcome(RetrieveFileJob* job, const Run& run, int timeoutMSecs)
{
    LogRecording recording;
    job->go();
    (void)QTest::qWaitFor([&run] { return run.ended; }, timeoutMSecs); // the caller checks run.ended
    QTest::qWait(lateSignalWindow());
    return recording.finish();
}

void TestRetrieveFileJob::download_data()
{
    QTest::addColumn<QString>("kind");      // "file", "disk" (streamed to a file), "manifest" or "compressed"
    QTest::addColumn<QByteArray>("stored"); // what the server holds, split over the parts
    QTest::addColumn<int>("parts");
    QTest::addColumn<qint64>("sizeDelta"); // expected size = stored size + delta; -1000: 0 (any)
    QTest::addColumn<PartFaults>("faults");
    QTest::addColumn<int>("transferTimeout"); // 0: the job's own
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QStringList>("logLines"); // in order; {url} is the blob address
    QTest::addColumn<QStringList>("absentLines");
    QTest::addColumn<QList<int>>("requests"); // per part

    const QByteArray small = randomBytes(3000, 1);
    const QByteArray large = randomBytes(900 * 1024, 2);
    const qint64 any = -1000;
    const QString label = "label DOWNLOADING PATCH 0";
    const QString retryOnce = QString(R"(Retrying download for "{url}" in %1 ms.)").arg(pauseStep());

    // Every plain download is made twice: into memory, and streamed to a file on disk as patches are.
    for (const QString kind : {"file", "disk"}) {
        const auto row = [&kind](const char* name) {
            return (kind == "disk" ? "streamed to disk: " + QString(name) : QString(name)).toUtf8();
        };
        QTest::newRow(row("one part from the address itself").constData())
            << kind << small << 1 << qint64(0) << PartFaults{} << 0 << QStringList{label, "Done!", "downloaded"}
            << small << QStringList{R"(Starting download for "{url}" attempt 1)", R"(Downloaded "{url}" successfully.)"}
            << QStringList{"Downloading file with", R"(Starting download for "{url}_0")"} << QList<int>{1};

        QTest::newRow(row("three parts joined in index order though finishing in reverse").constData())
            << kind << large << 3 << qint64(0)
            << PartFaults{{"_0", {{.delayMSecs = 600}}}, {"_1", {{.delayMSecs = 300}}}} << 0
            << QStringList{label, "Done!", "downloaded"} << large
            << QStringList{R"(Downloading file with 3 parts: "{url}")",
                           R"(Starting download for "{url}_0" attempt 1)",
                           R"(Starting download for "{url}_1" attempt 1)",
                           R"(Starting download for "{url}_2" attempt 1)",
                           R"(Downloaded "{url}_2" successfully.)",
                           R"(Downloaded "{url}_1" successfully.)",
                           R"(Downloaded "{url}_0" successfully.)",
                           R"(Downloaded "{url}" successfully.)"}
            << QStringList{} << QList<int>{1, 1, 1};

        QStringList retries;
        for (int attempt = 1; attempt <= 9; ++attempt) {
            retries << QString(R"(Starting download for "{url}_1" attempt %1)").arg(attempt)
                    << R"(Failure: "Error transferring {url}_1 - server replied: Internal Server Error")"
                    << QString(R"(Retrying download for "{url}_1" in %1 ms.)").arg(attempt * pauseStep());
        }
        retries << R"(Starting download for "{url}_1" attempt 10)"
                << R"(Downloaded "{url}" successfully.)";
        QTest::newRow(row("nine failures then success").constData())
            << kind << small << 2 << qint64(0) << PartFaults{{"_1", {{.toAttempt = 9, .status = 500}}}} << 0
            << QStringList{label, "Done!", "downloaded"} << small << retries << QStringList{"Failed to download"}
            << QList<int>{1, 10};

        QTest::newRow(row("part that always fails").constData())
            << kind << small << 3 << qint64(0) << PartFaults{{"_1", {{.status = 404}}}} << 0
            << QStringList{label, "failed"} << QByteArray()
            << QStringList{R"(Starting download for "{url}_1" attempt 10)",
                           R"(Failure: "Error transferring {url}_1 - server replied: Not Found")",
                           R"(Failed to download "{url}_1" with 10 attempts)"}
            << QStringList{QString(R"(Retrying download for "{url}_1" in %1 ms.)").arg(10 * pauseStep())}
            << QList<int>{1, 10, 1};

        QTest::newRow(row("connection closed mid-body is retried").constData())
            << kind << large << 1 << qint64(0) << PartFaults{{"", {{.toAttempt = 1, .fault = "close_mid_body"}}}} << 0
            << QStringList{label, "Done!", "downloaded"} << large
            << QStringList{R"(Starting download for "{url}" attempt 1)", retryOnce,
                           R"(Starting download for "{url}" attempt 2)"}
            << QStringList{} << QList<int>{2};

        QTest::newRow(row("announced length longer than the body is retried").constData())
            << kind << small << 1 << qint64(0)
            << PartFaults{{"", {{.toAttempt = 1, .fault = "wrong_length", .lengthDelta = 1}}}} << 0
            << QStringList{label, "Done!", "downloaded"} << small
            << QStringList{retryOnce, R"(Downloaded "{url}" successfully.)"} << QStringList{} << QList<int>{2};

        QTest::newRow(row("stalled transfer times out and is retried").constData())
            << kind << large << 1 << qint64(0) << PartFaults{{"", {{.toAttempt = 1, .fault = "stall"}}}} << 300
            << QStringList{label, "Done!", "downloaded"} << large
            << QStringList{retryOnce, R"(Starting download for "{url}" attempt 2)"} << QStringList{} << QList<int>{2};

        QTest::newRow(row("server that never answers times out and is retried").constData())
            << kind << small << 1 << qint64(0) << PartFaults{{"", {{.toAttempt = 1, .delayMSecs = 5000}}}} << 300
            << QStringList{label, "Done!", "downloaded"} << small
            << QStringList{retryOnce, R"(Starting download for "{url}" attempt 2)"} << QStringList{} << QList<int>{2};

        QTest::newRow(row("chunked replies without length").constData())
            << kind << large << 2 << qint64(0)
            << PartFaults{{"_0", {{.fault = "chunked"}}}, {"_1", {{.fault = "chunked"}}}} << 0
            << QStringList{label, "Done!", "downloaded"} << large << QStringList{R"(Downloaded "{url}" successfully.)"}
            << QStringList{} << QList<int>{1, 1};

        // Written in place, part 1 begins where part 0 ends or 1500 bytes before the end, whichever is
        // known first: the joined size decides.
        QTest::newRow(row("joined size one byte short of expected").constData())
            << kind << small << 2 << qint64(1) << PartFaults{} << 0 << QStringList{label, "Done!", "failed"}
            << QByteArray() << QStringList{R"(Merged resource "{url}" has unexpected size 3000 instead of 3001)"}
            << QStringList{R"(Downloaded "{url}" successfully.)"} << QList<int>{1, 1};

        QStringList overlong;
        for (int attempt = 1; attempt <= 9; ++attempt)
            overlong << QString(R"(Starting download for "{url}" attempt %1)").arg(attempt)
                     << R"(Failure: "Received more than the expected 2999 bytes")"
                     << QString(R"(Retrying download for "{url}" in %1 ms.)").arg(attempt * pauseStep());
        overlong << R"(Starting download for "{url}" attempt 10)"
                 << R"(Failure: "Received more than the expected 2999 bytes")"
                 << R"(Failed to download "{url}" with 10 attempts)";
        QTest::newRow(row("body one byte over expected is cut off as a failed attempt").constData())
            << kind << small << 1 << qint64(-1) << PartFaults{} << 0 << QStringList{label, "failed"} << QByteArray()
            << overlong << QStringList{"Merged resource", "Done!"} << QList<int>{10};

        // The parts are held to the expected size together: parts 1 and 2 (in either order) fit, the
        // late part 0 is cut off every time. Written in place, their lengths leave it nothing, and its own
        // length is not taken.
        const QStringList cutOff =
            kind == "disk"
                ? QStringList{R"(Part "{url}_0" announced 307200 bytes, more than the 0 that the lengths of the other )"
                              R"(parts leave of the expected 614400 bytes: that length is not taken.)",
                              R"(Failure: "Received more than the 0 bytes that the lengths of the other parts leave )"
                              R"(it of the expected 614400")"}
                : QStringList{R"(Failure: "Received more than the expected 614400 bytes")"};
        QTest::newRow(row("parts passing the expected size together are cut off").constData())
            << kind << large << 3 << qint64(-300 * 1024) << PartFaults{{"_0", {{.delayMSecs = 300}}}} << 0
            << QStringList{label, "failed"} << QByteArray()
            << cutOff + QStringList{R"(Failed to download "{url}_0" with 10 attempts)"}
            << QStringList{"Merged resource"} << QList<int>{10, 1, 1};

        if (kind == "disk") {
            QTest::newRow(row("part that fails twice writes its range again").constData())
                << kind << large << 3 << qint64(0) << PartFaults{{"_1", {{.toAttempt = 2, .fault = "close_mid_body"}}}}
                << 0 << QStringList{label, "Done!", "downloaded"} << large
                << QStringList{R"(Starting download for "{url}_1" attempt 3)", R"(Downloaded "{url}" successfully.)"}
                << QStringList{} << QList<int>{1, 3, 1};
            // Parts that join to the wrong total: together they pass the expected size (a part is cut off
            // each time) or join short.
            // Part 1 answers last: the others' lengths leave it its share, which its own doesn't fit.
            QTest::newRow(row("part announcing more, total too long, fails").constData())
                << kind << large << 3 << qint64(0)
                << PartFaults{{"_1", {{.fault = "resized", .delayMSecs = 300, .lengthDelta = 100}}}} << 0
                << QStringList{label, "failed"} << QByteArray()
                << QStringList{R"(Part "{url}_1" announced 307300 bytes, more than the 307200 that the lengths of )"
                               R"(the other parts leave of the expected 921600 bytes: that length is not taken.)",
                               R"(Failure: "Received more than the 307200 bytes that the lengths of the other parts )"
                               R"(leave it of the expected 921600")"}
                << QStringList{"Merged resource", "Done!"} << QList<int>{1, 10, 1};
            QTest::newRow(row("part announcing less, total too short, fails the size check").constData())
                << kind << large << 3 << qint64(0) << PartFaults{{"_1", {{.fault = "resized", .lengthDelta = -100}}}}
                << 0 << QStringList{label, "Done!", "failed"} << QByteArray()
                << QStringList{R"(Merged resource "{url}" has unexpected size 921500 instead of 921600)"}
                << QStringList{R"(Downloaded "{url}" successfully.)"} << QList<int>{};
            QTest::newRow(row("three parts of unknown size joined").constData())
                << kind << large << 3 << any << PartFaults{{"_0", {{.delayMSecs = 300}}}} << 0
                << QStringList{label, "Done!", "downloaded"} << large
                << QStringList{R"(Downloaded "{url}" successfully.)"} << QStringList{} << QList<int>{1, 1, 1};
        }

        QTest::newRow(row("expected size 0 accepts an empty resource").constData())
            << kind << QByteArray() << 1 << any << PartFaults{} << 0 << QStringList{label, "Done!", "downloaded"}
            << QByteArray() << QStringList{R"(Downloaded "{url}" successfully.)"} << QStringList{} << QList<int>{1};

        const QString noParts = R"("Failed to download \"{url}\". Cannot download a file with no parts.")";
        QTest::newRow(row("zero parts").constData())
            << kind << small << 0 << qint64(0) << PartFaults{} << 0 << QStringList{"failed"} << QByteArray()
            << QStringList{noParts} << QStringList{"Starting download"} << QList<int>{0};
        QTest::newRow(row("negative parts").constData())
            << kind << small << -2 << qint64(0) << PartFaults{} << 0 << QStringList{"failed"} << QByteArray()
            << QStringList{noParts} << QStringList{"Starting download"} << QList<int>{0};

        const QString tooMany = R"(Failed to download "{url}" in %1 parts: a resource is stored in at most 256 parts )"
                                R"(and in no more parts than it has bytes.)";
        QTest::newRow(row("2147483647 parts").constData())
            << kind << small << 2147483647 << qint64(0) << PartFaults{} << 0 << QStringList{"failed"} << QByteArray()
            << QStringList{tooMany.arg(2147483647)} << QStringList{"Starting download", "Downloading file with"}
            << QList<int>{0};
        QTest::newRow(row("257 parts").constData())
            << kind << small << 257 << any << PartFaults{} << 0 << QStringList{"failed"} << QByteArray()
            << QStringList{tooMany.arg(257)} << QStringList{"Starting download"} << QList<int>{0};
        QTest::newRow(row("more parts than bytes").constData())
            << kind << QByteArray("abc") << 4 << qint64(0) << PartFaults{} << 0 << QStringList{"failed"} << QByteArray()
            << QStringList{tooMany.arg(4)} << QStringList{"Starting download"} << QList<int>{0};
        QTest::newRow(row("as many parts as bytes").constData())
            << kind << QByteArray("abc") << 3 << qint64(0) << PartFaults{} << 0
            << QStringList{label, "Done!", "downloaded"} << QByteArray("abc")
            << QStringList{R"(Downloaded "{url}" successfully.)"} << QStringList{} << QList<int>{1, 1, 1};
    }

    // The bytes are parsed on a thread of their own once they are in: the manifest comes after them.
    const QStringList manifestEvents{"label DOWNLOADING LOCAL MANIFEST", "Done!", "downloaded", "manifestFinished"};
    QTest::newRow("manifest object") << "manifest" << QByteArray(R"({"version": "2.0", "files": [{"path": "a"}]})") << 1
                                     << qint64(0) << PartFaults{} << 0 << manifestEvents
                                     << QByteArray(R"({"files":[{"path":"a"}],"version":"2.0"})") << QStringList{}
                                     << QStringList{} << QList<int>{1};
    QTest::newRow("manifest in three parts")
        << "manifest" << QByteArray(R"({"version": "2.0", "files": [{"path": "a"}, {"path": "b"}]})") << 3 << qint64(0)
        << PartFaults{} << 0 << manifestEvents << QByteArray(R"({"files":[{"path":"a"},{"path":"b"}],"version":"2.0"})")
        << QStringList{} << QStringList{} << QList<int>{1, 1, 1};
    QTest::newRow("manifest empty object")
        << "manifest" << QByteArray("{}") << 1 << qint64(0) << PartFaults{} << 0 << manifestEvents << QByteArray("{}")
        << QStringList{} << QStringList{} << QList<int>{1};
    QTest::newRow("manifest that is an array")
        << "manifest" << QByteArray(R"([{"version": "2.0"}])") << 1 << qint64(0) << PartFaults{} << 0 << manifestEvents
        << QByteArray("{}") << QStringList{} << QStringList{} << QList<int>{1};
    QTest::newRow("manifest that is not JSON")
        << "manifest" << QByteArray("<html>502 Bad Gateway</html>") << 1 << qint64(0) << PartFaults{} << 0
        << manifestEvents << QByteArray("{}") << QStringList{} << QStringList{} << QList<int>{1};

    const QByteArray content = randomBytes(5000, 3) + QByteArray(20000, 'a');
    const QByteArray withSize = TestUpdateServer::zstdCompress(content, true);
    const QByteArray withoutSize = TestUpdateServer::zstdCompress(content, false);
    const QByteArray emptyFrame = TestUpdateServer::zstdCompress(QByteArray(), true);
    QVERIFY(ZSTD_getFrameContentSize(withSize.constData(), withSize.size()) == quint64(content.size()));
    QVERIFY(ZSTD_getFrameContentSize(withoutSize.constData(), withoutSize.size()) == ZSTD_CONTENTSIZE_UNKNOWN);
    QVERIFY(ZSTD_getFrameContentSize(emptyFrame.constData(), emptyFrame.size()) == 0);
    const QString fileLabel = "label DOWNLOADING FILE";
    const QStringList decompressed{R"(Decompressing "{url}")", R"(Decompressed "{url}" successfully.)"};
    const QStringList notDecompressed{R"(Decompressing "{url}")", R"(Failed to decompress "{url}")"};
    QTest::newRow("zstd frame with content size")
        << "compressed" << withSize << 1 << qint64(0) << PartFaults{} << 0
        << QStringList{fileLabel, "Done!", "decompressionFinished", "downloaded"} << content << decompressed
        << QStringList{} << QList<int>{1};
    QTest::newRow("zstd frame with content size in two parts")
        << "compressed" << withSize << 2 << qint64(0) << PartFaults{} << 0
        << QStringList{fileLabel, "Done!", "decompressionFinished", "downloaded"} << content << decompressed
        << QStringList{} << QList<int>{1, 1};
    QTest::newRow("zstd frame without content size")
        << "compressed" << withoutSize << 1 << qint64(0) << PartFaults{} << 0
        << QStringList{fileLabel, "Done!", "decompressionFailed", "downloaded"} << QByteArray() << notDecompressed
        << QStringList{} << QList<int>{1};
    QTest::newRow("empty zstd frame") << "compressed" << emptyFrame << 1 << qint64(0) << PartFaults{} << 0
                                      << QStringList{fileLabel, "Done!", "decompressionFinished", "downloaded"}
                                      << QByteArray() << decompressed << QStringList{} << QList<int>{1};
    QTest::newRow("corrupt zstd frame") << "compressed" << withSize.left(withSize.size() - 7) << 1 << qint64(0)
                                        << PartFaults{} << 0
                                        << QStringList{fileLabel, "Done!", "decompressionFailed", "downloaded"}
                                        << QByteArray() << notDecompressed << QStringList{} << QList<int>{1};
    QTest::newRow("empty body is no zstd frame") << "compressed" << QByteArray() << 1 << any << PartFaults{} << 0
                                                 << QStringList{fileLabel, "Done!", "decompressionFailed", "downloaded"}
                                                 << QByteArray() << notDecompressed << QStringList{} << QList<int>{1};
}

void TestRetrieveFileJob::download()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, stored);
    QFETCH(int, parts);
    QFETCH(qint64, sizeDelta);
    QFETCH(PartFaults, faults);
    QFETCH(int, transferTimeout);
    QFETCH(QStringList, events);
    QFETCH(QByteArray, result);
    QFETCH(QStringList, logLines);
    QFETCH(QStringList, absentLines);
    QFETCH(QList<int>, requests);

    const QString hash = QString("blob%1").arg(++blobCounter);
    // A part count the job refuses is never asked for; the blob is stored in one part then.
    const bool storedInParts = parts >= 1 && parts <= RetrieveFileJob::maxPartCount;
    const QString path = server->putBlob(hash, stored, storedInParts ? parts : 1);
    const QString url = server->url(path);
    server->clearFaults();
    for (auto it = faults.cbegin(); it != faults.cend(); ++it)
        server->setFaults(path + it.key(), it.value());

    const qint64 expectedSize = sizeDelta == -1000 ? 0 : stored.size() + sizeDelta;
    Run run;
    std::unique_ptr<RetrieveFileJob> job = makeJob(kind, url, parts, expectedSize, &run);
    if (transferTimeout > 0)
        job->setTransferTimeout(transferTimeout);
    const QStringList capturedLog = runToOutcome(job.get(), run, 30000);
    QVERIFY(run.ended);

    QVERIFY2(run.events == events, qPrintable(run.events.join(", ")));
    QCOMPARE(run.bytes, result);

    const QString logFault = checkLog(capturedLog, logLines, absentLines, url);
    QVERIFY2(logFault.isEmpty(), qPrintable(logFault));

    for (int i = 0; i < requests.size(); ++i) {
        const QString partPath = parts > 1 ? QString("%1_%2").arg(path).arg(i) : path;
        const QList<TestUpdateServer::Request> log = server->requestsFor(partPath);
        QCOMPARE(log.size(), requests[i]);
        // Attempt n + 1 may start only n pause steps after attempt n.
        for (int n = 1; n < log.size(); ++n)
            QVERIFY2(log[n].timeMSecs - log[n - 1].timeMSecs >= n * pauseStep() - 1,
                     qPrintable(QString("attempt %1 came %2 ms after the one before")
                                    .arg(n + 1)
                                    .arg(log[n].timeMSecs - log[n - 1].timeMSecs)));
    }

    if (kind == "disk" && expectedSize > 0) {
        // With its size known, every part is written in place in the one file: no part files.
        QVERIFY2(run.strayFiles.isEmpty(), qPrintable(run.strayFiles.join(", ")));
    } else if (kind == "disk" && parts > 1 && events.contains("downloaded")) {
        // Of unknown size, the parts are kept in files of their own until they are joined.
        QVERIFY(!run.strayFiles.isEmpty());
    }
    if (kind == "disk") {
        // A streamed download leaves the whole file or nothing: no parts, no file cut short.
        QCOMPARE(downloadedFiles(), events.contains("downloaded") ? QStringList{"patch_0.diff"} : QStringList{});
        QFile::remove(streamedPath());
    }

    if (events.contains("downloaded")) {
        // Progress never runs backwards past the total, and ends at the joined size.
        QVERIFY(!run.progress.isEmpty());
        for (const auto& [received, total] : std::as_const(run.progress))
            QVERIFY(received <= total || total == 0);
    }
}

void TestRetrieveFileJob::unevenSplits_data()
{
    QTest::addColumn<QString>("kind");  // "disk" (a patch) or "repair" (a compressed blob decompressed to a file)
    QTest::addColumn<QString>("split"); // how the server splits the blob into its three parts
    QTest::addColumn<QString>("fault");

    // "shares": part i holds S * i / 3 up to S * (i + 1) / 3; "chunks": ceil(S / 3) bytes each, the last
    // the rest; "tiny and huge": 16 bytes, then all but 4 KiB, then 4 KiB; "one chunked": chunks, part 1
    // sent without a length, so that it takes what the others leave and begins where part 0 ends.
    // "fails twice": part 0 answers 500 twice (each a little late) before its content; "cut short": part
    // 2's first answer closes its connection halfway through the body.
    for (const QString kind : {"disk", "repair"}) {
        for (const QString split : {"shares", "chunks", "tiny and huge", "one chunked"}) {
            for (const QString fault : {"all well", "fails twice", "cut short"})
                QTest::newRow(qPrintable(QString("%1: %2, %3").arg(kind == "disk" ? "patch" : "repair", split, fault)))
                    << kind << split << fault;
        }
    }
}

// However the server splits a blob of known size, each part is written at its place in the one file as
// it arrives: every part is asked for once per attempt (no part starts again because of the split), and
// no part goes to a file of its own (nothing is joined), except a part whose place is not known yet
// beyond the memory its bytes may wait in.
void TestRetrieveFileJob::unevenSplits()
{
    QFETCH(QString, kind);
    QFETCH(QString, split);
    QFETCH(QString, fault);

    const QByteArray content = randomBytes(900 * 1024, 9);
    const QByteArray blob = kind == "disk" ? content : TestUpdateServer::zstdCompress(content, true);
    const qint64 size = blob.size();
    QList<qint64> lengths;
    if (split == "shares") {
        for (int i = 0; i < 3; ++i)
            lengths.append(size * (i + 1) / 3 - size * i / 3);
    } else if (split == "tiny and huge") {
        lengths = {16, size - 16 - 4096, 4096};
    } else {
        const qint64 chunk = (size + 2) / 3;
        lengths = {chunk, chunk, size - 2 * chunk};
    }
    const QString path = server->putSplitBlob(QString("split%1").arg(++blobCounter), blob, 0, lengths);
    const QString url = server->url(path);
    server->clearFaults();
    if (split == "one chunked")
        server->setFaults(path + "_1", {{.fault = "chunked"}});
    if (fault == "fails twice")
        server->setFaults(path + "_0", {{.toAttempt = 2, .status = 500, .delayMSecs = 100}});
    if (fault == "cut short")
        server->setFaults(path + "_2", {{.toAttempt = 1, .fault = "close_mid_body"}});

    Run run;
    run.digest = QByteArray::fromHex(GameContent::b3sumHex(content).toLatin1());
    std::unique_ptr<RetrieveFileJob> job = makeJob(kind, url, 3, size, &run);
    // The patch keeps the launcher's memory for bytes that wait; the repair has so little that a part
    // whose place isn't known yet soon waits in a file.
    if (kind == "repair")
        job->setWaitingMemoryLimit(64 * 1024);
    const QStringList capturedLog = runToOutcome(job.get(), run, 30000);
    QVERIFY(run.ended);

    QVERIFY2(run.events.endsWith(kind == "disk" ? "downloaded" : "decompressionFinished"),
             qPrintable(run.events.join(", ") + "\nlog:\n" + capturedLog.join('\n')));
    QVERIFY(run.bytes == content);
    const QList<int> requests = fault == "fails twice" ? QList<int>{3, 1, 1}
                                : fault == "cut short" ? QList<int>{1, 1, 2}
                                                       : QList<int>{1, 1, 1};
    for (int i = 0; i < 3; ++i)
        QCOMPARE(server->requestsFor(QString("%1_%2").arg(path).arg(i)).size(), requests[i]);
    QStringList expected{R"(Downloaded "{url}" successfully.)"};
    if (fault != "all well")
        expected.prepend(QString(R"(Starting download for "{url}_%1" attempt %2)")
                             .arg(fault == "fails twice" ? 0 : 2)
                             .arg(requests[fault == "fails twice" ? 0 : 2]));
    const QString logFault = checkLog(
        capturedLog, expected, {"Failed to download", "Received more than", "Merged resource", "Announced"}, url);
    QVERIFY2(logFault.isEmpty(), qPrintable(logFault));

    // Part 1 can't know its place while part 0 fails: as a repair it goes on in a file of its own.
    static const QRegularExpression waits(R"re(^Part "(.*)" waits in "(.*)" until its place is known\.$)re");
    QStringList waitingFiles;
    for (const QString& line : capturedLog) {
        const QRegularExpressionMatch match = waits.match(line);
        if (match.hasMatch())
            waitingFiles.append(QFileInfo(match.captured(2)).fileName());
    }
    if (kind == "repair" && split == "one chunked" && fault == "fails twice")
        QVERIFY2(capturedLog.filter(QString(R"(Part "%1_1" waits in ")").arg(url)).size() == 1,
                 qPrintable(capturedLog.join('\n')));
    if (kind == "disk")
        QCOMPARE(waitingFiles, QStringList());
    for (const QString& file : std::as_const(run.strayFiles))
        QVERIFY2(waitingFiles.contains(file), qPrintable("a file of its own: " + file));
    // Only the patch stays; of the repair nothing is left once its file is taken.
    QCOMPARE(downloadedFiles(), kind == "disk" ? QStringList{"patch_0.diff"} : QStringList{});
    QFile::remove(streamedPath());
    if (kind == "disk")
        QCOMPARE(run.progress.last(), (QPair<qint64, qint64>{size, size}));
    for (const auto& [received, total] : std::as_const(run.progress))
        QVERIFY(received <= total);
}

void TestRetrieveFileJob::splitLimits_data()
{
    QTest::addColumn<QList<qint64>>("partLengths"); // the server's split of 900 KiB
    QTest::addColumn<qint64>("sizeDelta");          // expected size = 900 KiB + delta
    QTest::addColumn<PartFaults>("faults");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("logLines"); // in order; {url} is the blob address
    QTest::addColumn<QStringList>("absentLines");
    QTest::addColumn<QList<int>>("requests"); // per part

    const QString label = "label DOWNLOADING PATCH 0";
    const QString done = R"(Downloaded "{url}" successfully.)";
    const QList<qint64> chunks{307200, 307200, 307200};
    const QList<qint64> longMiddle{300000, 400000, 221600};
    const PartFaults middleChunked{{"_1", {{.fault = "chunked", .delayMSecs = 200}}}};

    QTest::newRow("parts joining one byte short of the size")
        << chunks << qint64(1) << PartFaults{} << QStringList{label, "Done!", "failed"}
        << QStringList{R"(Merged resource "{url}" has unexpected size 921600 instead of 921601)"} << QStringList{done}
        << QList<int>{1, 1, 1};
    // The late last part announces more than the others leave: its length is not taken (said once), and it
    // is cut off there every time.
    QTest::newRow("parts passing the size")
        << chunks << qint64(-1000) << PartFaults{{"_2", {{.delayMSecs = 300}}}} << QStringList{label, "failed"}
        << QStringList{R"(Part "{url}_2" announced 307200 bytes, more than the 306200 that the lengths of the other )"
                       R"(parts leave of the expected 920600 bytes: that length is not taken.)",
                       R"(Failure: "Received more than the 306200 bytes that the lengths of the other parts leave it )"
                       R"(of the expected 920600")",
                       R"(Failed to download "{url}_2" with 10 attempts)"}
        << QStringList{done, "Merged resource"} << QList<int>{1, 1, 10};
    // Parts 0 and 2 announce theirs first: the chunked part in between may hold what they leave, and
    // bytes past that are refused before they are written.
    QTest::newRow("part without length running past what the others leave")
        << longMiddle << qint64(-1000) << middleChunked << QStringList{label, "failed"}
        << QStringList{R"(Failure: "Received more than the 399000 bytes that the lengths of the other parts leave it )"
                       R"(of the expected 920600")",
                       R"(Failed to download "{url}_1" with 10 attempts)"}
        << QStringList{done, "Merged resource"} << QList<int>{1, 10, 1};
    QTest::newRow("part without length ending short of what the others leave")
        << QList<qint64>{300000, 300000, 300000} << qint64(0) << middleChunked << QStringList{label, "Done!", "failed"}
        << QStringList{R"(Downloaded "{url}_1" successfully.)",
                       R"(Merged resource "{url}" has unexpected size 900000 instead of 921600)"}
        << QStringList{done, "Failure"} << QList<int>{1, 1, 1};
    // Part 1's first answer fixes its length; its second announces another one and fails.
    QTest::newRow("retry announcing another length")
        << longMiddle << qint64(0)
        << PartFaults{{"_1",
                       {{.toAttempt = 1, .fault = "close_mid_body"},
                        {.fromAttempt = 2, .toAttempt = 2, .fault = "resized", .lengthDelta = 100}}}}
        << QStringList{label, "Done!", "downloaded"}
        << QStringList{R"(Failure: "Announced 400100 bytes instead of the 400000 of its earlier answer")",
                       R"(Starting download for "{url}_1" attempt 3)", done}
        << QStringList{"Failed to download"} << QList<int>{1, 3, 1};
}

void TestRetrieveFileJob::splitLimits()
{
    QFETCH(QList<qint64>, partLengths);
    QFETCH(qint64, sizeDelta);
    QFETCH(PartFaults, faults);
    QFETCH(QStringList, events);
    QFETCH(QStringList, logLines);
    QFETCH(QStringList, absentLines);
    QFETCH(QList<int>, requests);

    const QByteArray content = randomBytes(900 * 1024, 10);
    const QString path = server->putSplitBlob(QString("limits%1").arg(++blobCounter), content, 0, partLengths);
    const QString url = server->url(path);
    server->clearFaults();
    for (auto it = faults.cbegin(); it != faults.cend(); ++it)
        server->setFaults(path + it.key(), it.value());

    Run run;
    std::unique_ptr<RetrieveFileJob> job =
        makeJob("disk", url, int(partLengths.size()), content.size() + sizeDelta, &run);
    const QStringList capturedLog = runToOutcome(job.get(), run, 60000);
    QVERIFY(run.ended);

    QVERIFY2(run.events == events, qPrintable(run.events.join(", ") + "\nlog:\n" + capturedLog.join('\n')));
    QCOMPARE(run.bytes, events.contains("downloaded") ? content : QByteArray());
    const QString logFault = checkLog(capturedLog, logLines, absentLines, url);
    QVERIFY2(logFault.isEmpty(), qPrintable(logFault));
    // A length not taken is said once, however often the part's retries announce it again.
    const QStringList refusals = capturedLog.filter("that length is not taken");
    QCOMPARE(refusals.size(), QSet<QString>(refusals.cbegin(), refusals.cend()).size());
    for (int i = 0; i < requests.size(); ++i)
        QCOMPARE(server->requestsFor(QString("%1_%2").arg(path).arg(i)).size(), requests[i]);
    // Written in place: no part files, and the whole file or nothing.
    QCOMPARE(run.strayFiles, QStringList());
    QCOMPARE(downloadedFiles(), events.contains("downloaded") ? QStringList{"patch_0.diff"} : QStringList{});
    QFile::remove(streamedPath());
}

void TestRetrieveFileJob::progressSignals()
{
    // Part 0 comes chunked: its length is known only once it is complete. With no expected size
    // the total is what the parts have reported so far.
    const QByteArray content = randomBytes(700 * 1024, 6);
    const QString path = server->putBlob("progress", content, 2);
    server->clearFaults();
    server->setFaults(path + "_0", {{.fault = "chunked"}});

    RetrieveFileJob job(&networkManager, server->url(path), "Local Manifest", 2, 0, nullptr);
    QStringList order;
    QList<QPair<qint64, qint64>> bytes;
    QStringList labels;
    QList<QPair<QString, QString>> infoTexts;
    connect(&job, &RetrieveFileJob::updateProgressBytes, this, [&](qlonglong received, qlonglong total) {
        order.append("bytes");
        bytes.append({received, total});
    });
    connect(&job, &RetrieveFileJob::updateProgressSpeed, this, [&](qlonglong rate, qlonglong eta) {
        order.append("speed");
        QVERIFY(rate >= 0);
        QVERIFY(eta >= -1);
    });
    connect(&job, &RetrieveFileJob::updateProgress, this, [&](const QString& format, qlonglong, qlonglong) {
        order.append("progress");
        labels.append(format);
    });
    connect(&job, &RetrieveFileJob::updateInfoText, this, [&](const QString& line1, const QString& line2) {
        order.append("info");
        infoTexts.append({line1, line2});
    });
    QSignalSpy downloaded(&job, &RetrieveFileJob::downloaded);
    job.go();
    QVERIFY(downloaded.wait(20000));
    QCOMPARE(downloaded.first().first().toByteArray(), content);

    // The label first, then four signals per notification in a fixed order, then "Done!".
    QVERIFY(order.size() >= 1 + 4 + 1);
    QCOMPARE(order.first(), "progress");
    QCOMPARE(labels.first(), "DOWNLOADING LOCAL MANIFEST");
    QCOMPARE(order.last(), "info");
    QCOMPARE(infoTexts.last(), (QPair<QString, QString>{"Done!", ""}));
    const QStringList notifications = order.mid(1, order.size() - 2);
    QCOMPARE(notifications.size() % 4, 0);
    for (qsizetype i = 0; i < notifications.size(); i += 4)
        QCOMPARE(notifications.mid(i, 4), (QStringList{"bytes", "speed", "progress", "info"}));
    for (qsizetype i = 1; i < labels.size(); ++i)
        QCOMPARE(labels[i], "DOWNLOADING LOCAL MANIFEST (%p%)");

    static const QRegularExpression line1(R"(^-?\d+ (B|KiB|MiB|GiB)/s - \d+ (B|KiB|MiB|GiB) / \d+ (B|KiB|MiB|GiB)$)");
    static const QRegularExpression line2(R"(^(Unknown time|\d+ (second|minute|hour)s?) remaining\.\.\.$)");
    for (qsizetype i = 0; i + 1 < infoTexts.size(); ++i) {
        QVERIFY2(line1.match(infoTexts[i].first).hasMatch(), qPrintable(infoTexts[i].first));
        QVERIFY2(line2.match(infoTexts[i].second).hasMatch(), qPrintable(infoTexts[i].second));
    }
    for (const auto& [received, total] : std::as_const(bytes))
        QVERIFY(received <= total);
    QCOMPARE(bytes.last(), (QPair<qint64, qint64>{content.size(), content.size()}));
    QCOMPARE(infoTexts[infoTexts.size() - 2].first.section(" - ", 1), "700 KiB / 700 KiB");
}

void TestRetrieveFileJob::everyPartFailingReportsOnce()
{
    const QString path = server->putBlob("unreachable", randomBytes(100, 4), 3);
    server->clearFaults();
    // The other parts answer a little later each time, so that when part 0 has used its tenth
    // attempt they are waiting for their own last retry.
    for (int i = 0; i < 3; ++i)
        server->setFaults(QString("%1_%2").arg(path).arg(i), {{.status = 500, .delayMSecs = 50 * i}});

    Run run;
    std::unique_ptr<RetrieveFileJob> job = makeJob("file", server->url(path), 3, 0, &run);
    LogRecording recording;
    job->go();
    const bool ended = QTest::qWaitFor([&run] { return run.ended; }, 30000);
    // Long enough for the other parts' last attempts (answered up to 100 ms late) and pending
    // retries to play out.
    QTest::qWait(lateSignalWindow() + 100);
    const QStringList capturedLog = recording.finish();
    QVERIFY(ended);

    QCOMPARE(run.events, (QStringList{"label DOWNLOADING PATCH 0", "failed"}));
    const qsizetype failedAt = capturedLog.indexOf(QRegularExpression("^Failed to download .* with 10 attempts$"));
    QVERIFY(failedAt >= 0);
    QVERIFY2(capturedLog.size() == failedAt + 1,
             qPrintable("logged after the outcome: " + capturedLog.mid(failedAt + 1).join(" | ")));
    // No part was started again after the outcome.
    int requests = 0;
    for (int i = 0; i < 3; ++i)
        requests += server->requestsFor(QString("%1_%2").arg(path).arg(i)).size();
    QCOMPARE(requests, int(capturedLog.filter("Starting download for").size()));
}

void TestRetrieveFileJob::streamedWriteFailureFailsAtOnce_data()
{
    QTest::addColumn<int>("parts");
    QTest::addColumn<bool>("sizeKnown");     // known: parts written in place; unknown: part files joined
    QTest::addColumn<int>("limitKiB");       // the largest file this process may write, as on a full disk
    QTest::addColumn<QString>("failedFile"); // what follows the output path in the failure line
    QTest::addColumn<QStringList>("events");
    // In place, parts 1 and 2 come without a length while part 0 answers late, so that both wait for
    // their places, in files of their own beyond 16 KiB.
    QTest::addColumn<bool>("waiting");

    // 900 KiB in equal parts.
    const QStringList early{"label DOWNLOADING PATCH 0", "failed"};
    QTest::newRow("in place: a part cut short") << 1 << true << 400 << "\"" << early << false;
    QTest::newRow("in place: every part cut short, reported once") << 3 << true << 200 << "\"" << early << false;
    QTest::newRow("in place: the last part's range beyond the limit") << 3 << true << 700 << "\"" << early << false;
    QTest::newRow("in place: the files of waiting parts cut short, reported once")
        << 3 << true << 200 << ".part" << early << true;
    QTest::newRow("a part file cut short") << 1 << false << 400 << ".part0" << early << false;
    QTest::newRow("every part file cut short: reported once") << 3 << false << 200 << ".part" << early << false;
    QTest::newRow("part files saved, joined file cut short")
        << 3 << false << 500 << "\"" << QStringList{"label DOWNLOADING PATCH 0", "Done!", "failed"} << false;
}

void TestRetrieveFileJob::streamedWriteFailureFailsAtOnce()
{
    QFETCH(int, parts);
    QFETCH(bool, sizeKnown);
    QFETCH(int, limitKiB);
    QFETCH(QString, failedFile);
    QFETCH(QStringList, events);
    QFETCH(bool, waiting);

    const QString path = server->putBlob(QString("big%1").arg(++blobCounter), randomBytes(900 * 1024, 7), parts);
    server->clearFaults();
    if (waiting) {
        server->setFaults(path + "_0", {{.delayMSecs = 300}});
        server->setFaults(path + "_1", {{.fault = "chunked"}});
        server->setFaults(path + "_2", {{.fault = "chunked"}});
    }
    Run run;
    std::unique_ptr<RetrieveFileJob> job = makeJob("disk", server->url(path), parts, sizeKnown ? 900 * 1024 : 0, &run);
    if (waiting)
        job->setWaitingMemoryLimit(16 * 1024);

    // Writes beyond the limit fail with EFBIG instead of raising SIGXFSZ.
    signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limited = previous;
    limited.rlim_cur = rlim_t(limitKiB) * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    LogRecording recording;
    job->go();
    const bool ended = QTest::qWaitFor([&run] { return run.ended; }, 30000);
    QTest::qWait(lateSignalWindow());
    setrlimit(RLIMIT_FSIZE, &previous);
    const QStringList capturedLog = recording.finish();
    QVERIFY(ended);

    QCOMPARE(run.events, events);
    QVERIFY(job->outputWriteFailed());
    const QStringList failures = capturedLog.filter("Failed to write downloaded data to");
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures.first().startsWith(
                 QString(R"(Failed to write downloaded data to "%1%2)").arg(streamedPath(), failedFile)),
             qPrintable(failures.first()));
    QCOMPARE(downloadedFiles(), QStringList());
}

void TestRetrieveFileJob::unknownCertificateAuthorityFails()
{
    TestUpdateServer rogue(TEST_CA_DIR);
    QVERIFY(rogue.start(0, TestUpdateServer::Certificate::UnknownCa));
    const QByteArray content = randomBytes(100, 5);
    const QString path = rogue.putBlob("rogue", content, 1);

    Run run;
    std::unique_ptr<RetrieveFileJob> job = makeJob("file", rogue.url(path), 1, content.size(), &run);
    LogRecording recording;
    job->go();
    const bool ended = QTest::qWaitFor([&run] { return run.ended; }, 30000);
    const QStringList capturedLog = recording.finish();
    QVERIFY(ended);

    QCOMPARE(run.events, (QStringList{"label DOWNLOADING PATCH 0", "failed"}));
    QVERIFY(run.bytes.isEmpty());
    const QStringList sslLines = capturedLog.filter(QRegularExpression("^SSL Failure: \".+\"$"));
    QVERIFY2(sslLines.size() >= 10, qPrintable(capturedLog.join('\n')));
    QVERIFY(capturedLog.contains(QString(R"(Failed to download "%1" with 10 attempts)").arg(rogue.url(path))));
    // The server never got as far as serving the file.
    QVERIFY(rogue.requestLog().isEmpty());
}

void TestRetrieveFileJob::partsOfUnknownSizeShareBlocksWhenJoined()
{
    // A small XFS, which shares blocks between files, mounted from an image (needs root).
    QTemporaryDir work;
    const QString image = work.filePath("xfs.img");
    const QString mount = work.filePath("mnt");
    QVERIFY(QDir().mkpath(mount));
    const auto run = [](const QString& program, const QStringList& arguments) {
        QProcess process;
        process.start(program, arguments);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    };
    if (!run("truncate", {"-s", "512M", image}) || !run("mkfs.xfs", {"-q", image}) ||
        !run("mount", {"-o", "loop", image, mount}))
        QSKIP("no loop-mounted XFS here (needs root, mkfs.xfs and a loop device)");
    const auto unmount = qScopeGuard([&] { run("umount", {mount}); });

    // Three parts of whole blocks, so each can be shared where it is appended.
    const QByteArray content = randomBytes(3 * 65536, 8);
    const QString path = server->putBlob("shared", content, 3);
    server->clearFaults();
    const QString output = mount + "/patch_0.diff";
    RetrieveFileJob job(&networkManager, server->url(path), "Patch 0", 3, 0, nullptr);
    job.setOutputFile(output);
    // Each part file gets a second name, which keeps its blocks after the job removes the part.
    connect(&job, &RetrieveFileJob::updateProgressBytes, this, [&] {
        for (int i = 1; i < 3; ++i) {
            const QString kept = mount + "/kept" + QString::number(i);
            if (!QFileInfo::exists(kept))
                ::link(QFile::encodeName(output + ".part" + QString::number(i)).constData(),
                       QFile::encodeName(kept).constData());
        }
    });
    QSignalSpy downloaded(&job, &RetrieveFileJob::downloaded);
    job.go();
    QVERIFY(downloaded.wait(20000));

    QFile joined(output);
    QVERIFY(joined.open(QIODevice::ReadOnly));
    QCOMPARE(joined.readAll(), content);
    joined.close();
    QVERIFY(QFileInfo::exists(mount + "/kept1") && QFileInfo::exists(mount + "/kept2"));
    QProcess filefrag;
    filefrag.start("filefrag", {"-v", output});
    QVERIFY(filefrag.waitForFinished(10000));
    const QString extents = QString::fromUtf8(filefrag.readAllStandardOutput());
    QVERIFY2(extents.count("shared") >= 1, qPrintable(extents));
}

TestRetrieveFileJob::AloneRun TestRetrieveFileJob::downloadAlone(const QString& url, int parts, qint64 size,
                                                                 const QString& output, qint64 addressSpaceLimit,
                                                                 const std::function<void(const QString&)>& onLogLine)
{
    QProcess job;
    QByteArray pending;
    AloneRun run;
    connect(&job, &QProcess::readyReadStandardError, this, [&] {
        pending += job.readAllStandardError();
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QString line = QString::fromUtf8(pending.left(end));
            run.log.append(line);
            if (onLogLine)
                onLogLine(line);
            pending.remove(0, end + 1);
        }
    });
    if (addressSpaceLimit > 0) {
        job.setChildProcessModifier([addressSpaceLimit] {
            const rlimit limit{rlim_t(addressSpaceLimit), rlim_t(addressSpaceLimit)};
            setrlimit(RLIMIT_AS, &limit);
        });
    }
    QStringList arguments{url, QString::number(parts), QString::number(size)};
    if (!output.isEmpty())
        arguments.append(output);
    job.start(DOWNLOAD_JOB_BINARY, arguments);
    if (!QTest::qWaitFor([&job] { return job.state() == QProcess::NotRunning; }, 120000)) {
        job.kill();
        job.waitForFinished();
        return run;
    }
    const QString out = QString::fromUtf8(job.readAllStandardOutput());
    static const QRegularExpression peak("^peak (\\d+)\naddress space (\\d+)$", QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = peak.match(out);
    run.ended = job.exitStatus() == QProcess::NormalExit && match.hasMatch();
    run.downloaded = run.ended && job.exitCode() == 0 && out.startsWith("downloaded ");
    run.peakKiB = match.captured(1).toLongLong();
    run.addressSpaceKiB = match.captured(2).toLongLong();
    return run;
}

void TestRetrieveFileJob::waitingPartsStayWithinTheirMemory_data()
{
    QTest::addColumn<int>("parts");

    // Part 0 answers only once the others are in, and the last part comes without a length: the parts between
    // can't know their places until the last one ends, and the bytes of all but part 0 wait. Together they
    // are far more than the memory they may wait in.
    QTest::newRow("three parts, the two after the first waiting") << 3;
    QTest::newRow("five parts, the four after the first waiting") << 5;
}

// Bytes that wait for their place take at most the memory they may wait in (the launcher's own limit) and
// what the replies hold anyway: measured as the peak of a process doing just the download, against the
// same download without waiting.
void TestRetrieveFileJob::waitingPartsStayWithinTheirMemory()
{
    QFETCH(int, parts);

    const qint64 size = 200 * (qint64(1) << 20);
    const QByteArray content = randomBytes(size, 11);
    const QString path = server->putBlob(QString("waiting%1").arg(++blobCounter), content, parts);
    const QString url = server->url(path);
    const auto downloadedWhole = [this, &content] {
        QFile file(streamedPath());
        const bool whole = file.open(QIODevice::ReadOnly) && file.readAll() == content;
        QFile::remove(streamedPath());
        return whole;
    };

    server->clearFaults();
    const AloneRun alone = downloadAlone(url, parts, size, streamedPath());
    QVERIFY(alone.downloaded);
    QVERIFY(downloadedWhole());

    server->setFaults(path + "_0", {{.hold = true}});
    server->setFaults(QString("%1_%2").arg(path).arg(parts - 1), {{.fault = "chunked"}});
    int othersIn = 0;
    QStringList waitingFiles;
    const AloneRun waiting = downloadAlone(url, parts, size, streamedPath(), 0, [&](const QString& line) {
        if (line.startsWith(QString(R"(Part "%1_)").arg(url)) && line.contains(" waits in "))
            waitingFiles.append(line);
        if (line.startsWith(QString(R"(Downloaded "%1_)").arg(url)) && ++othersIn == parts - 1)
            server->clearFaults(); // lets part 0 answer
    });
    QVERIFY(waiting.downloaded);
    QVERIFY(downloadedWhole());
    // The limit was reached: some of the waiting bytes went on in files of their own.
    QVERIFY(!waitingFiles.isEmpty());

    const qint64 limitKiB = RetrieveFileJob::waitingMemoryLimit / 1024;
    qInfo() << "peak memory:" << waiting.peakKiB << "KiB with parts waiting," << alone.peakKiB << "KiB without";
    QVERIFY2(waiting.peakKiB - alone.peakKiB <= limitKiB + 16 * 1024,
             qPrintable(QString::number(waiting.peakKiB - alone.peakKiB)));
}

void TestRetrieveFileJob::memoryThatCanNotBeHadFailsTheDownload_data()
{
    QTest::addColumn<int>("parts");

    QTest::newRow("one part") << 1;
    QTest::newRow("three parts") << 3;
}

// A download kept in memory whose bytes fit but can't be joined (the process may take half their size
// again, not all of it) fails as one that can't be written does: said in the log, never a crash.
void TestRetrieveFileJob::memoryThatCanNotBeHadFailsTheDownload()
{
    QFETCH(int, parts);

    // What the process takes without the download's bytes: a download of a few bytes.
    const QString tiny = server->url(server->putBlob(QString("tiny%1").arg(++blobCounter), randomBytes(1000, 12), 1));
    server->clearFaults();
    const AloneRun base = downloadAlone(tiny, 1, 0, QString());
    QVERIFY(base.downloaded);

    const qint64 size = 128 * (qint64(1) << 20);
    const QString url =
        server->url(server->putBlob(QString("huge%1").arg(++blobCounter), randomBytes(size, 13), parts));
    const AloneRun run = downloadAlone(url, parts, 0, QString(), base.addressSpaceKiB * 1024 + size * 3 / 2);
    QVERIFY2(run.ended, qPrintable(run.log.join('\n')));
    QVERIFY(!run.downloaded);
    QVERIFY2(run.log.contains(QString(R"(Failed to keep downloaded data of "%1" in memory: "%2")")
                                  .arg(url, QString::fromLocal8Bit(std::strerror(ENOMEM)))),
             qPrintable(run.log.join('\n')));
}

QTEST_GUILESS_MAIN(TestRetrieveFileJob)
#include "TestRetrieveFileJob.moc"
