#include "jobs/RepairInstallJob.h"
#include "jobs/RetrieveCompressedFileJob.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using GameContent::publishFile;

namespace
{
const QString gamePath = QStringLiteral("Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping");

QByteArray pattern(int size, char seed)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(seed + i * 7 + i / 251);
    return data;
}

// Every file below dir with its contents, so a test can see that nothing there changed.
QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> files;
    QDir root(dir);
    const QFileInfoList entries =
        root.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& info : entries) {
        if (info.isDir() && !info.isSymLink()) {
            const auto inner = snapshot(info.filePath());
            for (auto it = inner.begin(); it != inner.end(); ++it)
                files.insert(info.fileName() + "/" + it.key(), it.value());
        } else {
            files.insert(info.fileName(), readFile(info.filePath()));
        }
    }
    return files;
}
} // namespace

class TestRepairInstallJob : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void repairsChangedAndMissingFiles();
    void neverWritesOutsideTheInstall_data();
    void neverWritesOutsideTheInstall();
    void repairsFromFramesOfAnyKind_data();
    void repairsFromFramesOfAnyKind();
    void failsWithoutWriting_data();
    void failsWithoutWriting();
    void writesNothingAfterAFailure();
    void finishesAtOnceWithNothingToRepair();

private:
    struct Run
    {
        int finished = 0;
        int failed = 0;
    };
    Run repair(const QJsonArray& files);

    std::unique_ptr<TestUpdateServer> server;
    std::unique_ptr<QTemporaryDir> root;
    QString installDir;
    QString outsideDir;
    QNetworkAccessManager manager;
};

void TestRepairInstallJob::initTestCase()
{
    QVERIFY(TestUpdateServer::trustTestCa(TEST_CA_DIR));
    QVERIFY(!GameContent::b3sumHex("x").isEmpty());
    // The job builds blob addresses from the launcher's built-in base address, which points at
    // this program's test port.
    server = std::make_unique<TestUpdateServer>(TEST_CA_DIR);
    QVERIFY(server->start(TEST_SERVER_PORT));
}

void TestRepairInstallJob::cleanupTestCase()
{
    server.reset();
}

void TestRepairInstallJob::init()
{
    server->reset();
    root = std::make_unique<QTemporaryDir>();
    installDir = root->filePath("installs/main");
    outsideDir = root->filePath("outside");
    QVERIFY(QDir().mkpath(installDir));
    QVERIFY(writeFile(outsideDir + "/keep.txt", "not the launcher's"));
}

void TestRepairInstallJob::cleanup()
{
    root.reset();
}

TestRepairInstallJob::Run TestRepairInstallJob::repair(const QJsonArray& files)
{
    RepairInstallJob job(&manager, installDir, files);
    QSignalSpy finished(&job, &RepairInstallJob::finished);
    QSignalSpy failed(&job, &RepairInstallJob::failed);
    QEventLoop loop;
    connect(&job, &RepairInstallJob::finished, &loop, &QEventLoop::quit);
    connect(&job, &RepairInstallJob::failed, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    job.go();
    if (finished.isEmpty() && failed.isEmpty())
        loop.exec();
    return Run{int(finished.count()), int(failed.count())};
}

void TestRepairInstallJob::repairsChangedAndMissingFiles()
{
    const QByteArray small = pattern(3000, 'a');
    const QByteArray large = pattern(400000, 'q');
    const QByteArray game = "#!/bin/sh\nexit 0\n";
    QJsonArray files{
        publishFile(*server, "Pelwinter/Content/small.pak", small),
        publishFile(*server, "Pelwinter/Content/large.pak", large, 3),
        publishFile(*server, gamePath, game),
    };
    QVERIFY(writeFile(installDir + "/Pelwinter/Content/small.pak", "corrupted"));
    QVERIFY(writeFile(installDir + "/Pelwinter/Content/large.pak", large.left(1000)));
    QVERIFY(QFile::setPermissions(installDir + "/Pelwinter/Content/large.pak",
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup));

    RepairInstallJob job(&manager, installDir, files);
    QSignalSpy finished(&job, &RepairInstallJob::finished);
    QSignalSpy failed(&job, &RepairInstallJob::failed);
    QSignalSpy bar1(&job, &RepairInstallJob::updateProgress1);
    QSignalSpy bar2(&job, &RepairInstallJob::updateProgress2);
    QSignalSpy info(&job, &RepairInstallJob::updateInfoText);
    job.go();
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(failed.count(), 0);

    QCOMPARE(readFile(installDir + "/Pelwinter/Content/small.pak"), small);
    QCOMPARE(readFile(installDir + "/Pelwinter/Content/large.pak"), large);
    QCOMPARE(readFile(installDir + "/" + gamePath), game);
    // A new game executable must start; an existing file keeps the mode it had.
    QVERIFY(QFileInfo(installDir + "/" + gamePath).isExecutable());
    QCOMPARE(QFile::permissions(installDir + "/Pelwinter/Content/large.pak") &
                 ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup);
    QVERIFY(!QFileInfo(installDir + "/Pelwinter/Content/small.pak").isExecutable());

    // Each blob and each part of the three-part blob is asked for once.
    for (const QJsonValue& value : files) {
        const QJsonObject resource = value.toObject()["resource"].toObject();
        const QString blob = "/update/blobs/" + resource["hash"].toString();
        if (resource["parts"].toInt() == 1) {
            QCOMPARE(server->requestsFor(blob).size(), 1);
        } else {
            for (int part = 0; part < 3; ++part)
                QCOMPARE(server->requestsFor(blob + "_" + QString::number(part)).size(), 1);
        }
    }

    QVERIFY(!bar1.isEmpty());
    QCOMPARE(bar1.first().at(0).toString(), QString("DOWNLOADING FILE 1 OF 3 (%p%)"));
    qint64 total = 0;
    for (const QJsonValue& value : files)
        total += value.toObject()["resource"].toObject()["size"].toInt();
    QCOMPARE(bar1.last().at(1).toLongLong(), total);
    QCOMPARE(bar1.last().at(2).toLongLong(), total);
    QCOMPARE(bar2.count(), 3);
    QCOMPARE(bar2.last(), (QList<QVariant>{"REPAIRING FILE 3 OF 3 (%p%)", 3LL, 3LL}));
    QVERIFY(info.first().at(0).toString().startsWith("0 B/s - "));
    QCOMPARE(info.first().at(1).toString(), QString("Unknown time remaining..."));
}

void TestRepairInstallJob::neverWritesOutsideTheInstall_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("linkName");   // a link made in the install before the repair
    QTest::addColumn<QString>("linkTarget"); // relative to the temporary root
    QTest::addColumn<bool>("repaired");

    QTest::newRow("climbs out") << "../../outside/keep.txt"
                                << ""
                                << "" << false;
    QTest::newRow("absolute") << "%outside%/keep.txt"
                              << ""
                              << "" << false;
    QTest::newRow("empty") << ""
                           << ""
                           << "" << false;
    QTest::newRow("install directory itself") << "."
                                              << ""
                                              << "" << false;
    QTest::newRow("through a linked folder") << "linked/keep.txt"
                                             << "linked"
                                             << "outside" << false;
    // A linked file is replaced by a file of its own; its target stays as it was.
    QTest::newRow("linked file") << "keep.txt"
                                 << "keep.txt"
                                 << "outside/keep.txt" << true;
}

void TestRepairInstallJob::neverWritesOutsideTheInstall()
{
    QFETCH(QString, path);
    QFETCH(QString, linkName);
    QFETCH(QString, linkTarget);
    QFETCH(bool, repaired);

    path.replace("%outside%", outsideDir);
    if (!linkName.isEmpty())
        QVERIFY(QFile::link(root->filePath(linkTarget), installDir + "/" + linkName));
    const QMap<QString, QByteArray> before = snapshot(outsideDir);
    const QJsonObject entry = publishFile(*server, path, "launcher data");

    const Run run = repair({entry});
    QCOMPARE(run.finished, repaired ? 1 : 0);
    QCOMPARE(run.failed, repaired ? 0 : 1);
    QCOMPARE(snapshot(outsideDir), before);
    if (repaired) {
        QVERIFY(!QFileInfo(installDir + "/" + path).isSymLink());
        QCOMPARE(readFile(installDir + "/" + path), QByteArray("launcher data"));
    }
}

void TestRepairInstallJob::repairsFromFramesOfAnyKind_data()
{
    QTest::addColumn<QByteArray>("content"); // what the file should hold (its validation_hash)
    QTest::addColumn<QByteArray>("blob");
    QTest::addColumn<int>("parts");
    QTest::addColumn<bool>("repaired");

    const QByteArray content = pattern(300000, 'z');
    const QByteArray other = pattern(70000, 'o');
    const QByteArray withSize = TestUpdateServer::zstdCompress(content, true);
    const QByteArray withoutSize = TestUpdateServer::zstdCompress(content, false);
    QTest::newRow("frame without content size") << content << withoutSize << 1 << true;
    QTest::newRow("frame without content size in three parts") << content << withoutSize << 3 << true;
    QTest::newRow("empty frame gives an empty file")
        << QByteArray() << TestUpdateServer::zstdCompress(QByteArray(), true) << 1 << true;
    QTest::newRow("empty frame without content size gives an empty file")
        << QByteArray() << TestUpdateServer::zstdCompress(QByteArray(), false) << 1 << true;
    QTest::newRow("two frames one after the other")
        << content + other << withSize + TestUpdateServer::zstdCompress(other, false) << 1 << true;
    QTest::newRow("frame cut short") << content << withoutSize.chopped(10) << 1 << false;
    QTest::newRow("valid frame followed by junk") << content << withSize + "junk" << 1 << false;

    // Read from a pipe, zstd can't shrink the window to the input: the frame asks for all of it.
    const auto withWindowLog = [&content](int windowLog) {
        QProcess zstd;
        zstd.start("zstd", {"-q", "-c", "--long=" + QString::number(windowLog)});
        zstd.write(content);
        zstd.closeWriteChannel();
        return zstd.waitForFinished(60000) && zstd.exitCode() == 0 ? zstd.readAllStandardOutput() : QByteArray();
    };
    QTest::newRow("frame asking for a window of 128 MiB") << content << withWindowLog(27) << 1 << true;
    QTest::newRow("frame asking for a window above 128 MiB") << content << withWindowLog(28) << 1 << false;
}

// Whatever the frame, the file is replaced only by contents that match its digest, and nothing of
// the download or the decompression stays behind.
void TestRepairInstallJob::repairsFromFramesOfAnyKind()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, blob);
    QFETCH(int, parts);
    QFETCH(bool, repaired);

    const QString hash = GameContent::b3sumHex(blob);
    server->putBlob(hash, blob, parts);
    const QJsonObject entry{
        {"path", "Pelwinter/Content/a.pak"},
        {"validation_hash", GameContent::b3sumHex(content)},
        {"resource", QJsonObject{{"hash", hash}, {"parts", parts}, {"size", blob.size()}}},
    };
    QVERIFY(writeFile(installDir + "/Pelwinter/Content/a.pak", "broken"));
    const QMap<QString, QByteArray> before = snapshot(installDir);

    const Run run = repair({entry});
    QCOMPARE(run.finished, repaired ? 1 : 0);
    QCOMPARE(run.failed, repaired ? 0 : 1);
    if (repaired) {
        QMap<QString, QByteArray> after = before;
        after["Pelwinter/Content/a.pak"] = content;
        QCOMPARE(snapshot(installDir), after);
    } else {
        QCOMPARE(snapshot(installDir), before);
    }
}

void TestRepairInstallJob::failsWithoutWriting_data()
{
    QTest::addColumn<QString>("fault");

    QTest::newRow("contents differ from validation_hash") << "digest";
    QTest::newRow("blob is no zstd frame") << "not zstd";
    QTest::newRow("blob without parts") << "no parts";
    QTest::newRow("target is a folder") << "folder";
}

void TestRepairInstallJob::failsWithoutWriting()
{
    QFETCH(QString, fault);

    const QString path = "Pelwinter/Content/a.pak";
    QJsonObject entry = publishFile(*server, path, pattern(5000, 'k'));
    QJsonObject resource = entry["resource"].toObject();
    if (fault == "digest") {
        entry["validation_hash"] = GameContent::b3sumHex("other contents");
    } else if (fault == "not zstd") {
        const QByteArray junk = pattern(200, 'j');
        server->putBlob("junk", junk);
        resource["hash"] = "junk";
        resource["size"] = int(junk.size());
    } else if (fault == "no parts") {
        resource["parts"] = 0;
    } else if (fault == "folder") {
        QVERIFY(QDir().mkpath(installDir + "/" + path + "/inner"));
    }
    entry["resource"] = resource;
    if (fault != "folder")
        QVERIFY(writeFile(installDir + "/" + path, "broken but kept"));
    const QMap<QString, QByteArray> before = snapshot(installDir);

    const Run run = repair({entry});
    QCOMPARE(run.failed, 1);
    QCOMPARE(run.finished, 0);
    QCOMPARE(snapshot(installDir), before);
}

void TestRepairInstallJob::writesNothingAfterAFailure()
{
    // The second entry fails inside go(), while the first is still downloading; the first's
    // contents must not be written when they arrive later.
    QJsonObject first = publishFile(*server, "a.pak", pattern(2000, 'a'));
    QJsonObject second = publishFile(*server, "b.pak", pattern(2000, 'b'));
    QJsonObject resource = second["resource"].toObject();
    resource["parts"] = 0;
    second["resource"] = resource;
    server->setFaults("/update/blobs/" + first["resource"].toObject()["hash"].toString(), {{.delayMSecs = 300}});

    RepairInstallJob job(&manager, installDir, {first, second});
    QSignalSpy finished(&job, &RepairInstallJob::finished);
    QSignalSpy failed(&job, &RepairInstallJob::failed);
    QSignalSpy bar2(&job, &RepairInstallJob::updateProgress2);
    job.go();
    QCOMPARE(failed.count(), 1);

    // The downloads are the job's children, in the order of the entries.
    const auto downloads = job.findChildren<RetrieveCompressedFileJob*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(downloads.size(), 2);
    QSignalSpy arrived(downloads.first(), &RetrieveCompressedFileJob::decompressionFinished);
    QVERIFY(arrived.wait(10000));
    QVERIFY(!QFile::exists(installDir + "/a.pak"));
    QCOMPARE(bar2.count(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(failed.count(), 1);
}

void TestRepairInstallJob::finishesAtOnceWithNothingToRepair()
{
    RepairInstallJob job(&manager, installDir, {});
    QSignalSpy finished(&job, &RepairInstallJob::finished);
    QSignalSpy failed(&job, &RepairInstallJob::failed);
    job.go();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(failed.count(), 0);
}

QTEST_GUILESS_MAIN(TestRepairInstallJob)
#include "TestRepairInstallJob.moc"
