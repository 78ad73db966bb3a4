// Downloads a 256 MiB blob from the loopback HTTPS test server in 1 and in 8 parts with
// RetrieveFileJob and prints the throughput next to curl fetching the same blob.
#include "bench/TimedDownload.h"
#include "support/RandomBytes.h"
#include "support/TestUpdateServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QProcess>
#include <cstdio>

namespace
{
constexpr qint64 blobSize = qint64(256) << 20;
constexpr int rounds = 3;

double megabytesPerSecond(qint64 bytes, qint64 nsecs)
{
    return nsecs > 0 ? double(bytes) / 1e6 / (double(nsecs) / 1e9) : 0.0;
}

// Best of a few rounds; -1 when a download failed.
double jobThroughput(QNetworkAccessManager* manager, const QString& url, int parts)
{
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        const qint64 elapsed = timedDownloadNSecs(manager, url, "Benchmark", parts, blobSize, blobSize);
        if (elapsed < 0)
            return -1;
        best = qMax(best, megabytesPerSecond(blobSize, elapsed));
    }
    return best;
}

double curlThroughput(const QString& url)
{
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        QProcess curl;
        QElapsedTimer timer;
        timer.start();
        curl.start("curl", {"--silent", "--fail", "--http1.1", "--cacert", QString(TEST_CA_DIR) + "/ca.pem", "--output",
                            "/dev/null", url});
        if (!curl.waitForFinished(120000) || curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0)
            return -1;
        best = qMax(best, megabytesPerSecond(blobSize, timer.nsecsElapsed()));
    }
    return best;
}

void print(const char* what, double mbps)
{
    if (mbps < 0)
        std::printf("%-34s failed\n", what);
    else
        std::printf("%-34s %8.1f MB/s\n", what, mbps);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!TestUpdateServer::trustTestCa(TEST_CA_DIR)) {
        std::fprintf(stderr, "cannot read the test CA in %s\n", TEST_CA_DIR);
        return 1;
    }
    TestUpdateServer server(TEST_CA_DIR);
    if (!server.start())
        return 1;

    const QByteArray blob = randomBytes(blobSize, 256);
    const QString single = server.url(server.putBlob("single", blob, 1));
    const QString eight = server.url(server.putBlob("eight", blob, 8));

    QNetworkAccessManager manager;
    std::printf("256 MiB blob from the loopback test server, best of %d:\n", rounds);
    print("RetrieveFileJob, 1 part", jobThroughput(&manager, single, 1));
    print("RetrieveFileJob, 8 parts", jobThroughput(&manager, eight, 8));
    print("curl, the same blob in one piece", curlThroughput(single));
    return 0;
}
