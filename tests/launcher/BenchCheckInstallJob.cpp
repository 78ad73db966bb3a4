// Times the install check of a large install: 100,000 manifest entries against 100,000 walked
// files listed in another order. Run by hand: build/tests/benchcheckinstalljob [files]
#include "jobs/CheckInstallJob.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>
#include <algorithm>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 100000;
    const QString installDir = QStringLiteral("/data/pelwinter-installs/main");

    QStringList hashedFiles;
    QByteArrayList fileHashes;
    QJsonArray manifestFiles;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("Pelwinter/Content/dir%1/file%2.pak").arg(i % 500).arg(i);
        const QByteArray digest(32, char(i));
        hashedFiles.append(installDir + "/" + path);
        fileHashes.append(digest);
        manifestFiles.append(QJsonObject{{"path", path}, {"validation_hash", QString::fromLatin1(digest.toHex())}});
    }
    std::reverse(hashedFiles.begin(), hashedFiles.end());
    std::reverse(fileHashes.begin(), fileHashes.end());

    // The check's log lines would dominate the time; only its result matters here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    CheckInstallJob job(installDir, hashedFiles, fileHashes, manifestFiles);
    qsizetype failed = -1;
    QObject::connect(&job, &CheckInstallJob::finished, [&](const QStringList& files) { failed = files.size(); });
    QElapsedTimer timer;
    timer.start();
    job.go();
    const qint64 elapsed = timer.elapsed();

    QTextStream(stdout) << "Checked " << count << " files in " << elapsed << " ms, " << failed << " failed.\n";
    return failed == 0 ? 0 : 1;
}
