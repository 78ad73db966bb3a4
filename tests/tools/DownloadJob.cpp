// Runs one download job of the launcher in a process of its own, so that what the download alone costs in
// memory can be measured:
//
//     download-job <url> <parts> <size> [<output file> [<waiting memory limit in bytes>]]
//
// Trusts the test CA, and waits and retries as the launcher that players run does. Without an output file
// the resource is kept in memory. Prints "downloaded <bytes>" or "failed", then "peak <KiB>", the process's
// peak resident memory (VmHWM), and "address space <KiB>", its peak address space (VmPeak); the job's log
// lines go to standard error. Exits with 0 when the resource was downloaded.

#include "jobs/RetrieveFileJob.h"
#include "support/PeakMemory.h"
#include "support/TestUpdateServer.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.size() < 3 || !TestUpdateServer::trustTestCa(TEST_CA_DIR)) {
        fprintf(stderr, "usage: download-job <url> <parts> <size> [<output file> [<waiting memory limit>]]\n");
        return 2;
    }
    QNetworkAccessManager networkManager;
    RetrieveFileJob job(&networkManager, arguments[0], "Download", arguments[1].toInt(), arguments[2].toLongLong(),
                        nullptr);
    if (arguments.size() > 3)
        job.setOutputFile(arguments[3]);
    if (arguments.size() > 4)
        job.setWaitingMemoryLimit(arguments[4].toLongLong());

    int exitCode = 1;
    QObject::connect(&job, &RetrieveFileJob::downloaded, &app, [&](const QByteArray& file) {
        printf("downloaded %lld\n", (long long)file.size());
        exitCode = 0;
        app.quit();
    });
    QObject::connect(&job, &RetrieveFileJob::failed, &app, [&] {
        printf("failed\n");
        app.quit();
    });
    // Started inside the event loop, so that an outcome that comes at once still ends it.
    QTimer::singleShot(0, &job, &RetrieveFileJob::go);
    app.exec();
    printf("peak %lld\naddress space %lld\n", (long long)peakResidentKiB(), (long long)peakAddressSpaceKiB());
    return exitCode;
}
