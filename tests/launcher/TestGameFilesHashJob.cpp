#include "jobs/GameFilesHashJob.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/RandomBytes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using GameContent::b3sumHex;

namespace
{

QMutex logMutex;
QStringList logLines;

void captureHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    QMutexLocker lock(&logMutex);
    logLines << message;
}

// 2024-01-02 03:04:05.678 UTC, a time no freshly written file has.
constexpr qint64 fixedTime = 1704164645678;

bool setModificationTime(const QString& path, qint64 msecs)
{
    const timespec times[2] = {{msecs / 1000, (msecs % 1000) * 1000000}, {msecs / 1000, (msecs % 1000) * 1000000}};
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

struct JobRun
{
    bool finished = false;
    bool failed = false;
    QStringList files;
    QByteArrayList hashes;
    QJsonArray fileInfos;
    QStringList failedFiles;
    QStringList log;
    bool emittedOnWorkerThread = false;
};

// Runs the job as the launcher does: no parent, moved to a thread of its own, started by the
// thread's started signal, results delivered queued to this thread. The outcomes are counted and kept
// by a receiver living on this thread, so the job's thread never touches what this thread reads; the
// wait polls those counts while the event loop delivers them. With recordsAfterMSecs >= 0 the job is
// made without records and gets them that long after its start; an outcome before them is refused.
JobRun runJob(const QString& installDir, const QJsonArray& cached, int recordsAfterMSecs = -1)
{
    {
        QMutexLocker lock(&logMutex);
        logLines.clear();
    }
    const QtMessageHandler previous = qInstallMessageHandler(captureHandler);

    JobRun run;
    QThread thread;
    auto* job = recordsAfterMSecs < 0 ? new GameFilesHashJob(installDir, cached) : new GameFilesHashJob(installDir);
    job->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, job, &GameFilesHashJob::go);
    QObject::connect(&thread, &QThread::finished, job, &QObject::deleteLater);
    // Set on the job's thread and read here only once that thread has ended.
    std::atomic<bool> emittedOnWorkerThread = false;
    QThread* mainThread = QThread::currentThread();
    auto noteThread = [&] { emittedOnWorkerThread = QThread::currentThread() != mainThread; };
    QObject::connect(job, &GameFilesHashJob::finished, job, noteThread, Qt::DirectConnection);
    QObject::connect(job, &GameFilesHashJob::failed, job, noteThread, Qt::DirectConnection);
    QObject receiver;
    int finishedCount = 0;
    int failedCount = 0;
    QObject::connect(
        job, &GameFilesHashJob::finished, &receiver,
        [&](QStringList files, QByteArrayList hashes, QJsonArray fileInfos) {
            ++finishedCount;
            run.files = files;
            run.hashes = hashes;
            run.fileInfos = fileInfos;
        },
        Qt::QueuedConnection);
    QObject::connect(
        job, &GameFilesHashJob::failed, &receiver,
        [&](QStringList failedFiles) {
            ++failedCount;
            run.failedFiles = failedFiles;
        },
        Qt::QueuedConnection);
    thread.start();
    bool early = false;
    if (recordsAfterMSecs >= 0) {
        QTest::qWait(recordsAfterMSecs);
        early = finishedCount + failedCount > 0;
        if (!early)
            job->setCachedFileInfos(cached);
    }
    QDeadlineTimer deadline(20000);
    while (finishedCount + failedCount == 0 && !deadline.hasExpired())
        QTest::qWait(10);
    QTest::qWait(50); // a second, forbidden outcome would arrive meanwhile
    thread.quit();
    thread.wait();
    QCoreApplication::sendPostedEvents(&receiver); // any outcome still on its way

    qInstallMessageHandler(previous);
    {
        QMutexLocker lock(&logMutex);
        run.log = logLines;
    }
    run.emittedOnWorkerThread = emittedOnWorkerThread;
    // Exactly one outcome, after the records: else neither flag is set and the caller's check fails.
    run.finished = !early && finishedCount == 1 && failedCount == 0;
    run.failed = !early && failedCount == 1 && finishedCount == 0;
    return run;
}

QJsonObject record(const QString& path, const QJsonValue& size, const QJsonValue& lastModified, const QString& hash)
{
    return QJsonObject{{"path", path}, {"size", size}, {"lastModified", lastModified}, {"hash", hash}};
}

} // namespace

class TestGameFilesHashJob : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void firstRunHashesEveryFileIncludingHidden();
    void secondRunReusesOnlyUnchangedFiles();
    void recordsMayComeAfterTheStart_data();
    void recordsMayComeAfterTheStart();
    void cacheRecordDecidesReuse_data();
    void cacheRecordDecidesReuse();
    void emptyOrMissingInstallSucceedsEmpty_data();
    void emptyOrMissingInstallSucceedsEmpty();
    void symlinkToFileIsHashedThroughTheLink();
    void unreadableEntriesFailTheJob_data();
    void unreadableEntriesFailTheJob();
    void strayNonUtf8NameDoesNotFailTheJob();
    void repairTemporariesAreRemovedNotHashed();

private:
    QString installPath(const QString& relative) const { return install->path() + "/" + relative; }

    std::unique_ptr<QTemporaryDir> install;
};

void TestGameFilesHashJob::init()
{
    install = std::make_unique<QTemporaryDir>();
    QVERIFY(install->isValid());
}

void TestGameFilesHashJob::firstRunHashesEveryFileIncludingHidden()
{
    const QMap<QString, QByteArray> contents = {
        {"Pelwinter.sh", "#!/bin/sh\n"},
        {"empty.txt", QByteArray()},
        {"Content/Paks/big.pak", randomBytes(300000, 1)},
        {"Content/Paks/small.pak", randomBytes(16383, 2)},
        // Manifests may list dot files; they must be hashed or they could never validate.
        {".hidden-config", "x=1\n"},
        {"Content/.cache/shader.bin", randomBytes(5000, 3)},
    };
    for (auto it = contents.begin(); it != contents.end(); ++it)
        QVERIFY(writeFile(installPath(it.key()), it.value()));
    QVERIFY(QDir().mkpath(installPath("Content/EmptyFolder")));

    const JobRun run = runJob(install->path(), QJsonArray());
    QVERIFY(run.finished);
    QVERIFY(run.emittedOnWorkerThread);
    QCOMPARE(run.log, (QStringList{"Starting game file hash job.", "Found 6 game files that require hashing.",
                                   "Found 0 game files that are unchanged from last hash run.",
                                   "Hashed all game files successfully."}));
    QCOMPARE(run.files.size(), contents.size());
    QCOMPARE(run.hashes.size(), contents.size());
    QCOMPARE(run.fileInfos.size(), contents.size());
    QSet<QString> seen;
    for (qsizetype i = 0; i < run.files.size(); ++i) {
        const QJsonObject info = run.fileInfos[i].toObject();
        const QString relative = info.value("path").toString();
        QVERIFY2(contents.contains(relative), qPrintable(relative));
        seen.insert(relative);
        QCOMPARE(run.files[i], install->path() + "/" + relative);
        const QString expected = b3sumHex(contents.value(relative));
        QCOMPARE(QString::fromLatin1(run.hashes[i].toHex()), expected);
        const QFileInfo file(run.files[i]);
        QCOMPARE(info, (QJsonObject{{"path", relative},
                                    {"size", QString::number(contents.value(relative).size())},
                                    {"lastModified", QString::number(file.lastModified().toMSecsSinceEpoch())},
                                    {"hash", expected}}));
    }
    QCOMPARE(seen.size(), contents.size());
}

// The records of one run feed the next; a digest that differs from the file's real one shows
// whether the file was opened.
void TestGameFilesHashJob::secondRunReusesOnlyUnchangedFiles()
{
    const QStringList names = {"a.bin", "sub/b.bin", "sub/deeper/c.bin", "d.bin"};
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(writeFile(installPath(names[i]), randomBytes(20000 * (i + 1), quint32(10 + i))));
    const JobRun first = runJob(install->path(), QJsonArray());
    QVERIFY(first.finished);

    const QString fakeDigest = QString("AB").repeated(32);
    QJsonArray cached;
    for (const QJsonValue& value : first.fileInfos) {
        QJsonObject info = value.toObject();
        info["hash"] = fakeDigest;
        cached.append(info);
    }
    // Same contents and size, modification time one millisecond later.
    const QString touched = installPath("sub/b.bin");
    QVERIFY(setModificationTime(touched, QFileInfo(touched).lastModified().toMSecsSinceEpoch() + 1));

    const JobRun second = runJob(install->path(), cached);
    QVERIFY(second.finished);
    QCOMPARE(second.log, (QStringList{"Starting game file hash job.", "Found 1 game files that require hashing.",
                                      "Found 3 game files that are unchanged from last hash run.",
                                      "Hashed all game files successfully."}));
    // The walk's order, the hashed file at its place among the reused ones.
    QCOMPARE(second.files, first.files);
    for (int i = 0; i < 4; ++i) {
        if (second.files[i] == touched) {
            QCOMPARE(QString::fromLatin1(second.hashes[i].toHex()), b3sumHex(readFile(touched)));
            QCOMPARE(second.fileInfos[i].toObject().value("lastModified").toString(),
                     QString::number(QFileInfo(touched).lastModified().toMSecsSinceEpoch()));
            continue;
        }
        QCOMPARE(second.hashes[i], QByteArray::fromHex(fakeDigest.toLatin1()));
        QCOMPARE(second.fileInfos[i].toObject().value("hash").toString(), fakeDigest.toLower());
    }
}

void TestGameFilesHashJob::recordsMayComeAfterTheStart_data()
{
    QTest::addColumn<int>("recordsAfterMSecs");
    QTest::addColumn<bool>("oneFileTouched");
    QTest::newRow("records at the start, nothing changed") << -1 << false;
    QTest::newRow("records later, nothing changed") << 300 << false;
    QTest::newRow("records later, one file touched") << 300 << true;
}

// The walk needs no records: a job may be started before they are read. It waits for them and
// comes to the same result; an install that has not changed gets its records back as they were.
void TestGameFilesHashJob::recordsMayComeAfterTheStart()
{
    QFETCH(int, recordsAfterMSecs);
    QFETCH(bool, oneFileTouched);
    for (int i = 0; i < 30; ++i)
        QVERIFY(writeFile(installPath(QString("d%1/f%2.bin").arg(i % 3).arg(i)), randomBytes(100 + i, quint32(i))));
    const JobRun first = runJob(install->path(), QJsonArray());
    QVERIFY(first.finished);
    const QString touched = installPath("d1/f4.bin");
    if (oneFileTouched)
        QVERIFY(setModificationTime(touched, QFileInfo(touched).lastModified().toMSecsSinceEpoch() + 1));

    const JobRun second = runJob(install->path(), first.fileInfos, recordsAfterMSecs);
    QVERIFY(second.finished);
    QVERIFY(second.log.contains(QString("Found %1 game files that require hashing.").arg(oneFileTouched ? 1 : 0)));
    // The same files in the same order whatever had to be hashed, so an install that has not changed
    // gets its records back as they were, and one touched file changes its own record alone.
    QCOMPARE(second.files, first.files);
    QCOMPARE(second.hashes, first.hashes);
    QJsonArray wanted = first.fileInfos;
    if (oneFileTouched) {
        const qsizetype at = first.files.indexOf(touched);
        QJsonObject record = wanted[at].toObject();
        record["lastModified"] = QString::number(QFileInfo(touched).lastModified().toMSecsSinceEpoch());
        wanted[at] = record;
    }
    QCOMPARE(second.fileInfos, wanted);
}

void TestGameFilesHashJob::cacheRecordDecidesReuse_data()
{
    // One file "data.bin" of 100 bytes dated fixedTime; the cached digest is all 0x11.
    QTest::addColumn<QJsonArray>("cached");
    QTest::addColumn<bool>("reused");
    const QString size = "100";
    const QString time = QString::number(fixedTime);
    const QString digest = QString("11").repeated(32);
    QTest::newRow("matching record reused") << QJsonArray{record("data.bin", size, time, digest)} << true;
    QTest::newRow("size differs") << QJsonArray{record("data.bin", "101", time, digest)} << false;
    QTest::newRow("one millisecond later")
        << QJsonArray{record("data.bin", size, QString::number(fixedTime + 1), digest)} << false;
    QTest::newRow("one millisecond earlier")
        << QJsonArray{record("data.bin", size, QString::number(fixedTime - 1), digest)} << false;
    QTest::newRow("size stored as a number") << QJsonArray{record("data.bin", 100, time, digest)} << false;
    QTest::newRow("time stored as a number")
        << QJsonArray{record("data.bin", size, double(fixedTime), digest)} << false;
    QTest::newRow("path differs in case") << QJsonArray{record("Data.bin", size, time, digest)} << false;
    QTest::newRow("path with leading ./") << QJsonArray{record("./data.bin", size, time, digest)} << false;
    QTest::newRow("later duplicate replaces a match")
        << QJsonArray{record("data.bin", size, time, digest), record("data.bin", "7", time, digest)} << false;
    QTest::newRow("later duplicate matches")
        << QJsonArray{record("data.bin", "7", time, digest), record("data.bin", size, time, digest)} << true;
    QTest::newRow("record that is not an object") << QJsonArray{QJsonValue("data.bin")} << false;
}

void TestGameFilesHashJob::cacheRecordDecidesReuse()
{
    QFETCH(QJsonArray, cached);
    QFETCH(bool, reused);
    const QByteArray contents = randomBytes(100, 7);
    QVERIFY(writeFile(installPath("data.bin"), contents));
    QVERIFY(setModificationTime(installPath("data.bin"), fixedTime));

    const JobRun run = runJob(install->path(), cached);
    QVERIFY(run.finished);
    QCOMPARE(run.files, QStringList{installPath("data.bin")});
    const QByteArray expected = reused ? QByteArray(32, '\x11') : QByteArray::fromHex(b3sumHex(contents).toLatin1());
    QCOMPARE(run.hashes, QByteArrayList{expected});
    QCOMPARE(run.fileInfos, (QJsonArray{QJsonObject{{"path", "data.bin"},
                                                    {"size", "100"},
                                                    {"lastModified", QString::number(fixedTime)},
                                                    {"hash", QString::fromLatin1(expected.toHex())}}}));
    QCOMPARE(run.log.mid(1, 2), reused ? (QStringList{"Found 0 game files that require hashing.",
                                                      "Found 1 game files that are unchanged from last hash run."})
                                       : (QStringList{"Found 1 game files that require hashing.",
                                                      "Found 0 game files that are unchanged from last hash run."}));
}

void TestGameFilesHashJob::emptyOrMissingInstallSucceedsEmpty_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("empty install directory") << true;
    QTest::newRow("missing install directory") << false;
}

void TestGameFilesHashJob::emptyOrMissingInstallSucceedsEmpty()
{
    QFETCH(bool, exists);
    const QString dir = exists ? install->path() : installPath("not-installed");
    const QJsonArray cached{record("gone.bin", "1", "0", QString("00").repeated(32))};
    const JobRun run = runJob(dir, cached);
    QVERIFY(run.finished);
    QVERIFY(run.files.isEmpty());
    QVERIFY(run.hashes.isEmpty());
    QVERIFY(run.fileInfos.isEmpty());
    QCOMPARE(run.log, (QStringList{"Starting game file hash job.", "Found 0 game files that require hashing.",
                                   "Found 0 game files that are unchanged from last hash run.",
                                   "Hashed all game files successfully."}));
}

void TestGameFilesHashJob::symlinkToFileIsHashedThroughTheLink()
{
    const QByteArray contents = randomBytes(40000, 5);
    QVERIFY(writeFile(installPath("real/target.bin"), contents));
    QVERIFY(setModificationTime(installPath("real/target.bin"), fixedTime));
    QVERIFY(QDir().mkpath(installPath("links")));
    QVERIFY(QFile::link("../real/target.bin", installPath("links/alias.bin")));
    // A broken link is not listed at all.
    QVERIFY(QFile::link("../real/nothing.bin", installPath("links/broken.bin")));

    const JobRun run = runJob(install->path(), QJsonArray());
    QVERIFY(run.finished);
    QCOMPARE(run.files.size(), 2);
    const qsizetype link = run.files.indexOf(installPath("links/alias.bin"));
    QVERIFY(link >= 0);
    QCOMPARE(QString::fromLatin1(run.hashes[link].toHex()), b3sumHex(contents));
    QCOMPARE(run.fileInfos[link].toObject(), (QJsonObject{{"path", "links/alias.bin"},
                                                          {"size", QString::number(contents.size())},
                                                          {"lastModified", QString::number(fixedTime)},
                                                          {"hash", b3sumHex(contents)}}));
}

void TestGameFilesHashJob::unreadableEntriesFailTheJob_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symlink to a directory") << "dirlink";
    QTest::newRow("symlink to a fifo") << "fifolink";
    QTest::newRow("symlink to a device") << "devlink";
}

void TestGameFilesHashJob::unreadableEntriesFailTheJob()
{
    QFETCH(QString, kind);
    for (int i = 0; i < 5; ++i)
        QVERIFY(writeFile(installPath(QString("ok%1.bin").arg(i)), randomBytes(30000, quint32(i))));
    QVERIFY(QDir().mkpath(installPath("folder")));
    const QString bad = installPath("bad-link");
    if (kind == "dirlink") {
        QVERIFY(QFile::link("folder", bad));
    } else if (kind == "fifolink") {
        QCOMPARE(mkfifo(QFile::encodeName(installPath("folder/pipe")).constData(), 0600), 0);
        QVERIFY(QFile::link("folder/pipe", bad));
    } else {
        QVERIFY(QFile::link("/dev/zero", bad));
    }

    const JobRun run = runJob(install->path(), QJsonArray());
    QVERIFY(run.failed);
    QVERIFY(run.emittedOnWorkerThread);
    QCOMPARE(run.failedFiles, QStringList{bad});
    QCOMPARE(run.log.last(), "Failed to hash following game files: QList(\"" + bad + "\")");
}

// A name that is not UTF-8 cannot appear in a manifest and cannot be named through the framework;
// such a stray file must not make every run fail.
void TestGameFilesHashJob::strayNonUtf8NameDoesNotFailTheJob()
{
    QVERIFY(writeFile(installPath("ok.bin"), "fine"));
    const QByteArray stray = QFile::encodeName(install->path()) + "/caf\xe9.bin";
    const int fd = ::open(stray.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    const JobRun run = runJob(install->path(), QJsonArray());
    ::unlink(stray.constData());
    QVERIFY(run.finished);
    QCOMPARE(run.files, QStringList{installPath("ok.bin")});
}

// A killed repair leaves its download, the download's parts and its decompressed file beside the
// broken file. The walk removes such files and never lists them; names that only resemble them are
// game files like any other, and only regular files are removed.
void TestGameFilesHashJob::repairTemporariesAreRemovedNotHashed()
{
    const QStringList leftovers = {
        "Content/a.pak.pelwinter-launcher-3k9x2.download",
        "Content/a.pak.pelwinter-launcher-3k9x2.download.part0",
        "Content/a.pak.pelwinter-launcher-3k9x2.download.part12",
        "Content/a.pak.pelwinter-launcher-zz0.repair",
        "Content/deeper/.hidden.pelwinter-launcher-1.repair",
    };
    const QStringList gameFiles = {
        "Content/a.pak",
        "Content/a.pak.pelwinter-launcher-3K9X2.repair",          // not a random part the launcher makes
        "Content/a.pak.pelwinter-launcher-3k9x2.receipt",         // the receipt's role, inside the install
        "Content/a.pak.pelwinter-launcher-3k9x2.download.partx",  // no part number
        "Content/a.pak.pelwinter-launcher-.repair",               // no random part
        "Content/.pelwinter-launcher-abc.repair",                 // no file it stands for
        "Content/a.pak.pelwinter-launcher-abc.repair.bak",        // another name after it
        "Content/a.pak.pelwinter-launcher-abcdefghijklmn.repair", // longer than a 64-bit number
        "Content/b.pelwinter-launcher-abc.repair/inside.pak",     // a folder of that name is entered
    };
    for (const QString& path : leftovers + gameFiles)
        QVERIFY(writeFile(installPath(path), path.toUtf8()));
    // A link of that name is not the launcher's: passed over, and left as it is.
    const QString link = installPath("Content/c.pak.pelwinter-launcher-abc.repair");
    QVERIFY(QFile::link("a.pak", link));

    const JobRun run = runJob(install->path(), QJsonArray());
    QVERIFY(run.finished);
    QStringList listed;
    for (const QString& file : run.files)
        listed << QDir(install->path()).relativeFilePath(file);
    listed.sort();
    QStringList wanted = gameFiles;
    wanted.sort();
    QCOMPARE(listed, wanted);
    for (const QString& path : leftovers) {
        QVERIFY2(!QFileInfo::exists(installPath(path)), qPrintable(path));
        QVERIFY2(
            run.log.contains("Removed \"" + installPath(path) + "\" left in the install by an interrupted repair."),
            qPrintable(path));
    }
    QVERIFY(QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestGameFilesHashJob)
#include "TestGameFilesHashJob.moc"
