#include "BuildConfig.h"
#include "ThreadSafeLogWriter.h"
#include "jobs/RetrieveCompressedFileJob.h"
#include "jobs/RetrieveFileJob.h"
#include "jobs/RetrieveManifestJob.h"
#include "support/RandomBytes.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
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
    void progressSignals();
    void everyPartFailingReportsOnce();
    void streamedWriteFailureFailsAtOnce_data();
    void streamedWriteFailureFailsAtOnce();
    void unknownCertificateAuthorityFails();
    void partsOfUnknownSizeShareBlocksWhenJoined();

private:
    struct Run
    {
        QStringList events;
        QByteArray bytes;
        QList<QPair<qint64, qint64>> progress;
        QStringList strayFiles; // streamed to disk: files other than the output seen while downloading
        bool ended = false;
    };
    // Runs one job to its outcome and a little beyond, so that late signals would be seen.
    std::unique_ptr<RetrieveFileJob> makeJob(const QString& kind, const QString& url, int parts, qint64 size, Run* run);

    // What the job logs when the parts it wrote in place turn out not to be the server's split:
    // .arg(part address, share).
    const QString splitLine = R"(Part "%1" is not its share of %2 bytes: all parts are downloaded again into )"
                              R"(files of their own and joined at the end.)";
    static QRegularExpression splitPattern()
    {
        return QRegularExpression(R"(^Part ".*" is not its share of \d+ bytes: all parts are downloaded again)");
    }

    // Where downloads streamed to disk go; nothing else may appear in its folder.
    QString streamedPath() const { return downloads.filePath("patch_0.diff"); }
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
    } else if (kind == "compressed") {
        auto* compressedJob = new RetrieveCompressedFileJob(&networkManager, url, "File", parts, size, nullptr);
        connect(compressedJob, &RetrieveCompressedFileJob::decompressionFinished, this, [run](const QByteArray& file) {
            run->events.append("decompressionFinished");
            run->bytes = file;
            run->ended = true;
        });
        connect(compressedJob, &RetrieveCompressedFileJob::decompressionFailed, this, [run] {
            run->events.append("decompressionFailed");
            run->ended = true;
        });
        job.reset(compressedJob);
    } else {
        job = std::make_unique<RetrieveFileJob>(&networkManager, url, "Patch 0", parts, size, nullptr);
        if (kind == "disk") {
            job->setOutputFile(streamedPath());
            connect(job.get(), &RetrieveFileJob::updateProgressBytes, this, [this, run] {
                for (const QString& file : downloadedFiles()) {
                    if (file != "patch_0.diff" && !run->strayFiles.contains(file))
                        run->strayFiles.append(file);
                }
            });
        }
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
    const QString splitLine = this->splitLine;
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

        // Written in place, part 1 (1500 bytes) is not its share of 3001 (1501): the parts are fetched
        // again into files of their own, and the joined size decides.
        QTest::newRow(row("joined size one byte short of expected").constData())
            << kind << small << 2 << qint64(1) << PartFaults{} << 0 << QStringList{label, "Done!", "failed"}
            << QByteArray()
            << (kind == "disk" ? QStringList{splitLine.arg("{url}_1").arg(1501),
                                             R"(Merged resource "{url}" has unexpected size 3000 instead of 3001)"}
                               : QStringList{R"(Merged resource "{url}" has unexpected size 3000 instead of 3001)"})
            << QStringList{R"(Downloaded "{url}" successfully.)"} << (kind == "disk" ? QList<int>{} : QList<int>{1, 1});

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
        // late part 0 is cut off every time. Written in place, none is its share of it, so the parts
        // are fetched again into files of their own first.
        QTest::newRow(row("parts passing the expected size together are cut off").constData())
            << kind << large << 3 << qint64(-300 * 1024) << PartFaults{{"_0", {{.delayMSecs = 300}}}} << 0
            << QStringList{label, "failed"} << QByteArray()
            << QStringList{R"(Failure: "Received more than the expected 614400 bytes")",
                           R"(Failed to download "{url}_0" with 10 attempts)"}
            << QStringList{"Merged resource"} << (kind == "disk" ? QList<int>{} : QList<int>{10, 1, 1});

        if (kind == "disk") {
            QTest::newRow(row("part that fails twice writes its range again").constData())
                << kind << large << 3 << qint64(0) << PartFaults{{"_1", {{.toAttempt = 2, .fault = "close_mid_body"}}}}
                << 0 << QStringList{label, "Done!", "downloaded"} << large
                << QStringList{R"(Starting download for "{url}_1" attempt 3)", R"(Downloaded "{url}" successfully.)"}
                << QStringList{} << QList<int>{1, 3, 1};
            // Parts that are not their shares and join to the wrong total: once in files of their own,
            // the parts together pass the expected size (a part is cut off each time) or join short.
            QTest::newRow(row("part longer than its share, total too long, fails").constData())
                << kind << large << 3 << qint64(0) << PartFaults{{"_1", {{.fault = "resized", .lengthDelta = 100}}}}
                << 0 << QStringList{label, "failed"} << QByteArray()
                << QStringList{splitLine.arg("{url}_1").arg(307200),
                               R"(Failure: "Received more than the expected 921600 bytes")"}
                << QStringList{"Merged resource", "Done!"} << QList<int>{};
            QTest::newRow(row("part shorter than its share, total too short, fails the size check").constData())
                << kind << large << 3 << qint64(0) << PartFaults{{"_1", {{.fault = "resized", .lengthDelta = -100}}}}
                << 0 << QStringList{label, "Done!", "failed"} << QByteArray()
                << QStringList{splitLine.arg("{url}_1").arg(307200),
                               R"(Merged resource "{url}" has unexpected size 921500 instead of 921600)"}
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

    LogRecording recording;
    job->go();
    const bool ended = QTest::qWaitFor([&run] { return run.ended; }, 30000);
    // Anything the job still emits after its outcome would show up here.
    QTest::qWait(lateSignalWindow());
    const QStringList capturedLog = recording.finish();
    QVERIFY(ended);

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

    // A download leaves the road of parts written in place at most once.
    const qsizetype switches = capturedLog.filter(splitPattern()).size();
    QVERIFY(switches <= 1);
    if (kind == "disk" && expectedSize > 0 && switches == 0) {
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
    QTest::addColumn<QString>("kind");              // "disk" (known size: written in place first) or "file"
    QTest::addColumn<qint64>("chunkBytes");         // the server's split: fixed chunks, the last shorter...
    QTest::addColumn<QList<qint64>>("partLengths"); // ... or parts of these lengths (chunkBytes 0)
    QTest::addColumn<qint64>("sizeDelta");          // expected size = 900 KiB + delta
    QTest::addColumn<PartFaults>("faults");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("logLines"); // in order; {url} is the blob address
    QTest::addColumn<QStringList>("absentLines");
    QTest::addColumn<QList<int>>("requests"); // per part; empty: not checked

    // 900 KiB: in three parts the shares are 307200 bytes each.
    const QString label = "label DOWNLOADING PATCH 0";
    const QStringList success{label, "Done!", "downloaded"};
    const QString done = R"(Downloaded "{url}" successfully.)";
    const QList<qint64> firstLonger{400000, 260800, 260800};
    const QList<qint64> firstLongerLastMatching{317200, 297200, 307200};
    const PartFaults noLengths{
        {"_0", {{.fault = "chunked"}}}, {"_1", {{.fault = "chunked"}}}, {"_2", {{.fault = "chunked"}}}};
    const PartFaults none;

    for (const QString kind : {"disk", "file"}) {
        const auto row = [&kind](const char* name) {
            return (kind == "disk" ? QString(name) : "in memory: " + QString(name)).toUtf8();
        };
        // 384 KiB chunks: 393216, 393216 and 135168 bytes.
        QTest::newRow(row("fixed chunks, the last shorter, lengths announced").constData())
            << kind << qint64(384 * 1024) << QList<qint64>{} << qint64(0) << none << success << QStringList{done}
            << QStringList{"Failed to download"} << QList<int>{};
        QTest::newRow(row("fixed chunks, the last shorter, chunked bodies without length").constData())
            << kind << qint64(384 * 1024) << QList<qint64>{} << qint64(0) << noLengths << success << QStringList{done}
            << QStringList{"Failed to download"} << QList<int>{};
        QTest::newRow(row("first part longer than its share, lengths announced").constData())
            << kind << qint64(0) << firstLonger << qint64(0) << none << success << QStringList{done}
            << QStringList{"Failed to download"} << QList<int>{};
        QTest::newRow(row("first part longer than its share, chunked bodies without length").constData())
            << kind << qint64(0) << firstLonger << qint64(0) << noLengths << success << QStringList{done}
            << QStringList{"Failed to download"} << QList<int>{};
        QTest::newRow(row("first part longer, second shorter, last its share, without length").constData())
            << kind << qint64(0) << firstLongerLastMatching << qint64(0) << noLengths << success << QStringList{done}
            << QStringList{"Failed to download"} << QList<int>{};
        // Part 2, the long one, answers late: part 0 ending short of its share is what tells.
        QTest::newRow(row("first part ending short of its share, without length").constData())
            << kind << qint64(0) << QList<qint64>{200000, 307200, 414400} << qint64(0)
            << PartFaults{{"_0", {{.fault = "chunked"}}},
                          {"_1", {{.fault = "chunked"}}},
                          {"_2", {{.fault = "chunked", .delayMSecs = 300}}}}
            << success << (kind == "disk" ? QStringList{splitLine.arg("{url}_0").arg(307200), done} : QStringList{done})
            << QStringList{"Failed to download"} << QList<int>{};

        // Wrong totals still fail, and leave nothing behind.
        QTest::newRow(row("fixed chunks joining one byte short of the size").constData())
            << kind << qint64(384 * 1024) << QList<qint64>{} << qint64(1) << none
            << QStringList{label, "Done!", "failed"}
            << QStringList{R"(Merged resource "{url}" has unexpected size 921600 instead of 921601)"}
            << QStringList{done} << QList<int>{};
        // The short last chunk comes last, and pushes the parts past the size each time.
        QTest::newRow(row("fixed chunks passing the size").constData())
            << kind << qint64(384 * 1024) << QList<qint64>{} << qint64(-1000)
            << PartFaults{{"_2", {{.delayMSecs = 500}}}} << QStringList{label, "failed"}
            << QStringList{R"(Failure: "Received more than the expected 920600 bytes")",
                           R"(Failed to download "{url}_2" with 10 attempts)"}
            << QStringList{done, "Merged resource"} << QList<int>{};
    }

    // Part 1 is still waiting for the answer to its first request (an error, after 500 ms) when,
    // after 200 ms, part 0 or 2 announces a length other than its share and every running part
    // starts again. That restart isn't held against part 1: it has its 10 attempts, and needs them all.
    QStringList tenAttempts;
    for (int attempt = 1; attempt <= 9; ++attempt)
        tenAttempts << QString(R"(Starting download for "{url}_1" attempt %1)").arg(attempt)
                    << R"(Failure: "Error transferring {url}_1 - server replied: Internal Server Error")";
    tenAttempts << R"(Starting download for "{url}_1" attempt 10)" << done;
    QTest::newRow("a restart after the switch is no attempt")
        << "disk" << qint64(384 * 1024) << QList<qint64>{} << qint64(0)
        << PartFaults{{"_0", {{.delayMSecs = 200}}},
                      {"_1", {{.toAttempt = 1, .status = 500, .delayMSecs = 500}, {.toAttempt = 10, .status = 500}}},
                      {"_2", {{.delayMSecs = 200}}}}
        << success << tenAttempts << QStringList{"Failed to download", R"(Starting download for "{url}_1" attempt 11)"}
        << QList<int>{2, 11, 2};
}

void TestRetrieveFileJob::unevenSplits()
{
    QFETCH(QString, kind);
    QFETCH(qint64, chunkBytes);
    QFETCH(QList<qint64>, partLengths);
    QFETCH(qint64, sizeDelta);
    QFETCH(PartFaults, faults);
    QFETCH(QStringList, events);
    QFETCH(QStringList, logLines);
    QFETCH(QStringList, absentLines);
    QFETCH(QList<int>, requests);

    const QByteArray content = randomBytes(900 * 1024, 9);
    const int parts = chunkBytes > 0 ? int((content.size() + chunkBytes - 1) / chunkBytes) : int(partLengths.size());
    const QString path = server->putSplitBlob(QString("split%1").arg(++blobCounter), content, chunkBytes, partLengths);
    const QString url = server->url(path);
    server->clearFaults();
    for (auto it = faults.cbegin(); it != faults.cend(); ++it)
        server->setFaults(path + it.key(), it.value());

    Run run;
    std::unique_ptr<RetrieveFileJob> job = makeJob(kind, url, parts, content.size() + sizeDelta, &run);
    LogRecording recording;
    job->go();
    const bool ended = QTest::qWaitFor([&run] { return run.ended; }, 60000);
    QTest::qWait(lateSignalWindow());
    const QStringList capturedLog = recording.finish();
    QVERIFY(ended);

    QVERIFY2(run.events == events, qPrintable(run.events.join(", ") + "\nlog:\n" + capturedLog.join('\n')));
    QCOMPARE(run.bytes, events.contains("downloaded") ? content : QByteArray());
    const QString logFault = checkLog(capturedLog, logLines, absentLines, url);
    QVERIFY2(logFault.isEmpty(), qPrintable(logFault));
    for (int i = 0; i < requests.size(); ++i)
        QCOMPARE(server->requestsFor(QString("%1_%2").arg(path).arg(i)).size(), requests[i]);

    // Written in place, the parts are found not to be their shares, and the download moves to part
    // files once; in memory nothing needs to move.
    QCOMPARE(capturedLog.filter(splitPattern()).size(), kind == "disk" ? 1 : 0);
    if (kind == "disk") {
        QVERIFY(!run.strayFiles.isEmpty());
        // The whole file or nothing: no part file, no file cut short.
        QCOMPARE(downloadedFiles(), events.contains("downloaded") ? QStringList{"patch_0.diff"} : QStringList{});
        QFile::remove(streamedPath());
    }
    if (events.contains("downloaded")) {
        for (const auto& [received, total] : std::as_const(run.progress))
            QVERIFY(received <= total);
        QCOMPARE(run.progress.last(), (QPair<qint64, qint64>{content.size(), content.size()}));
    }
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

    // 900 KiB in equal parts.
    const QStringList early{"label DOWNLOADING PATCH 0", "failed"};
    QTest::newRow("in place: a part cut short") << 1 << true << 400 << "\"" << early;
    QTest::newRow("in place: every part cut short, reported once") << 3 << true << 200 << "\"" << early;
    QTest::newRow("in place: the last part's range beyond the limit") << 3 << true << 700 << "\"" << early;
    QTest::newRow("a part file cut short") << 1 << false << 400 << ".part0" << early;
    QTest::newRow("every part file cut short: reported once") << 3 << false << 200 << ".part" << early;
    QTest::newRow("part files saved, joined file cut short")
        << 3 << false << 500 << "\"" << QStringList{"label DOWNLOADING PATCH 0", "Done!", "failed"};
}

void TestRetrieveFileJob::streamedWriteFailureFailsAtOnce()
{
    QFETCH(int, parts);
    QFETCH(bool, sizeKnown);
    QFETCH(int, limitKiB);
    QFETCH(QString, failedFile);
    QFETCH(QStringList, events);

    const QString path = server->putBlob(QString("big%1").arg(++blobCounter), randomBytes(900 * 1024, 7), parts);
    server->clearFaults();
    Run run;
    std::unique_ptr<RetrieveFileJob> job = makeJob("disk", server->url(path), parts, sizeKnown ? 900 * 1024 : 0, &run);

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

QTEST_GUILESS_MAIN(TestRetrieveFileJob)
#include "TestRetrieveFileJob.moc"
