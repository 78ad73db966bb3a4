// How long a branch manifest of 25 MB takes to come into memory from the loopback HTTPS test
// server, as the launcher fetches it (RetrieveFileJob, one part, size unknown), next to curl
// fetching the same file. Each side makes a new connection per run, as a launcher start does, and
// is timed from the request to the last byte (curl by its own clock, without its start-up).
// Medians of five, the two sides interleaved. Not a ctest test:
//
//     build/bench/uptodate/manifest_download_benchmark [megabytes, default 25]
#include "bench/TimedDownload.h"
#include "support/BenchTiming.h"
#include "support/RandomBytes.h"
#include "support/TestUpdateServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QProcess>
#include <cstdio>
#include <unistd.h>

namespace
{
// Milliseconds to the downloaded bytes; -1 when the download failed.
double jobMSecs(const QString& url, qint64 size)
{
    QNetworkAccessManager manager;
    sync();
    const qint64 nsecs = timedDownloadNSecs(&manager, url, "Manifest", 1, 0, size);
    return nsecs >= 0 ? double(nsecs) / 1e6 : -1;
}

double curlMSecs(const QString& url)
{
    sync();
    QProcess curl;
    curl.start("curl", {"--silent", "--fail", "--http1.1", "--cacert", QString(TEST_CA_DIR) + "/ca.pem", "--output",
                        "/dev/null", "--write-out", "%{time_total}", url});
    if (!curl.waitForFinished(120000) || curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0)
        return -1;
    return curl.readAllStandardOutput().toDouble() * 1000;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QString::fromLocal8Bit(argv[1]).toLongLong() : 25;
    if (!TestUpdateServer::trustTestCa(TEST_CA_DIR)) {
        std::fprintf(stderr, "cannot read the test CA in %s\n", TEST_CA_DIR);
        return 1;
    }
    TestUpdateServer server(TEST_CA_DIR);
    if (!server.start())
        return 1;
    const qint64 size = megabytes * 1000 * 1000;
    const QString url = server.url(server.putFile("manifest-main-linux.json", randomBytes(size, 7)));

    jobMSecs(url, size); // the server's page cache warm
    QList<double> job;
    QList<double> curl;
    for (int i = 0; i < 5; ++i) {
        job.append(jobMSecs(url, size));
        curl.append(curlMSecs(url));
    }
    std::printf("%lld MB into memory from the loopback test server, medians of 5 (load %s):\n", (long long)megabytes,
                qPrintable(loadAverages()));
    std::printf("  %-40s %8.1f ms\n", "RetrieveFileJob, one part, size unknown", medianOf(job));
    std::printf("  %-40s %8.1f ms\n", "curl", medianOf(curl));
    return 0;
}
