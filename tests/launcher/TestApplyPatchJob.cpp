// The patch-apply job on real trees: patches made by the test-only writer are applied from an old
// directory into a staging directory, on a worker thread as the launcher runs them.

#include "jobs/ApplyPatchJob.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/RandomBytes.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace
{
using Entries = FileTree::Entries;

QMutex logMutex;
QStringList logLines;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker lock(&logMutex);
        logLines.append(message);
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

QStringList takeLog()
{
    QMutexLocker lock(&logMutex);
    QStringList lines = logLines;
    logLines.clear();
    return lines;
}

Entries oldGame()
{
    return {{"bin/", FileTree::dir()},
            {"bin/game", FileTree::file(randomBytes(40000, 1), true)},
            {"data/", FileTree::dir()},
            {"data/level.pak", FileTree::file(randomBytes(120000, 2))},
            {"data/same.pak", FileTree::file(randomBytes(9000, 3))},
            {"data/old.txt", FileTree::file("going away\n")},
            {"readme.txt", FileTree::file("version 1.0\n")}};
}

Entries newGame()
{
    QByteArray level = randomBytes(120000, 2);
    level.replace(5000, 64, randomBytes(64, 9));
    level.append(randomBytes(60000, 10));
    return {{"bin/", FileTree::dir()},
            {"bin/game", FileTree::file(randomBytes(40000, 1) + "patched", true)},
            {"bin/tool", FileTree::file(randomBytes(30000, 4), true)},
            {"data/", FileTree::dir()},
            {"data/level.pak", FileTree::file(level)},
            {"data/same.pak", FileTree::file(randomBytes(9000, 3))},
            {"data/empty.dat", FileTree::file("")},
            {"data/maps/", FileTree::dir()},
            {"data/maps/deep/", FileTree::dir()},
            {"data/maps/deep/one.map", FileTree::file(randomBytes(20000, 5))},
            {"readme.txt", FileTree::file("version 1.1\n")}};
}

struct Fixture
{
    QTemporaryDir dir;
    QString oldDir() const { return dir.filePath("install"); }
    QString newDir() const { return dir.filePath("install_new"); }
    QString diffFile() const { return dir.filePath("patch_0.diff"); }

    bool write(const Entries& oldTree, const Entries& newTree)
    {
        if (!FileTree::write(oldDir(), oldTree) || !FileTree::write(dir.filePath("source"), newTree))
            return false;
        return QDir().mkpath(newDir()) && DirDiffWriter::build(oldDir(), dir.filePath("source")).save(diffFile());
    }
};

struct Outcome
{
    QList<QList<QVariant>> progress;
    int finished = 0;
    int failed = 0;
    QStringList log;
};

// Runs one job the way the launcher does: on a thread of its own, deleted when the thread ends.
Outcome runOnThread(const Fixture& fixture)
{
    Outcome outcome;
    auto* job = new ApplyPatchJob(fixture.oldDir(), fixture.newDir(), fixture.diffFile(), nullptr);
    QThread thread;
    job->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, job, &ApplyPatchJob::go);
    QObject::connect(&thread, &QThread::finished, job, &QObject::deleteLater);
    QSignalSpy progress(job, &ApplyPatchJob::updateProgress);
    QSignalSpy finished(job, &ApplyPatchJob::finished);
    QSignalSpy failed(job, &ApplyPatchJob::failed);
    QObject context;
    QEventLoop loop;
    QObject::connect(job, &ApplyPatchJob::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QObject::connect(job, &ApplyPatchJob::failed, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    thread.start();
    loop.exec();
    thread.quit();
    thread.wait();
    outcome.progress = progress;
    outcome.finished = int(finished.size());
    outcome.failed = int(failed.size());
    outcome.log = takeLog();
    return outcome;
}

QStringList linesStartingWith(const QStringList& lines, const QString& prefix)
{
    QStringList found;
    for (const QString& line : lines) {
        if (line.startsWith(prefix))
            found.append(line);
    }
    return found;
}
} // namespace

class TestApplyPatchJob : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void appliesPatchWithProgressAndExecuteBits();
    void patchWithoutNewDataSendsOnlyTheLabel();
    void refusedPatches_data();
    void refusedPatches();
    void reasonNames_data();
    void reasonNames();
    void pathsMustStayInsideTheirRoot_data();
    void pathsMustStayInsideTheirRoot();
};

void TestApplyPatchJob::initTestCase()
{
    previousHandler = qInstallMessageHandler(captureHandler);
}

void TestApplyPatchJob::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void TestApplyPatchJob::appliesPatchWithProgressAndExecuteBits()
{
    Fixture fixture;
    QVERIFY(fixture.write(oldGame(), newGame()));

    const Outcome outcome = runOnThread(fixture);

    QCOMPARE(outcome.finished, 1);
    QCOMPARE(outcome.failed, 0);
    QCOMPARE(FileTree::read(fixture.newDir()), newGame());
    QCOMPARE(FileTree::read(fixture.oldDir()), oldGame());

    QVERIFY(outcome.progress.size() >= 2);
    QCOMPARE(outcome.progress.first(), (QList<QVariant>{"APPLYING PATCH", 0LL, 1LL}));
    qlonglong previous = 0;
    for (qsizetype i = 1; i < outcome.progress.size(); ++i) {
        const QList<QVariant>& signal = outcome.progress[i];
        QCOMPARE(signal[0].toString(), QString("APPLYING PATCH %p%"));
        QCOMPARE(signal[2].toLongLong(), 100LL);
        QVERIFY2(signal[1].toLongLong() > previous, "each signal carries a new whole percentage");
        previous = signal[1].toLongLong();
    }
    QCOMPARE(previous, 100LL);
    // one log line per signal after the label, in the debug stream's spacing
    const QStringList progressLines = linesStartingWith(outcome.log, "Patch progress:");
    QCOMPARE(progressLines.size(), outcome.progress.size() - 1);
    QCOMPARE(progressLines.last(), QString("Patch progress: 100 %"));
    QVERIFY(outcome.log.contains("Starting patch apply job."));
    QVERIFY(outcome.log.contains("Patch applied successfully."));
}

void TestApplyPatchJob::patchWithoutNewDataSendsOnlyTheLabel()
{
    // Only copies, directories and an empty file: nothing is patched, so no percentage is sent.
    Entries oldTree = {{"a.pak", FileTree::file(randomBytes(5000, 7))}};
    Entries newTree = {{"a.pak", FileTree::file(randomBytes(5000, 7))},
                       {"copy/", FileTree::dir()},
                       {"copy/a.pak", FileTree::file(randomBytes(5000, 7), true)},
                       {"empty", FileTree::file("")}};
    Fixture fixture;
    QVERIFY(fixture.write(oldTree, newTree));

    const Outcome outcome = runOnThread(fixture);

    QCOMPARE(outcome.finished, 1);
    QCOMPARE(outcome.failed, 0);
    QCOMPARE(outcome.progress.size(), 1);
    QCOMPARE(FileTree::read(fixture.newDir()), newTree);
}

void TestApplyPatchJob::refusedPatches_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("expectedLine");
    QTest::addColumn<bool>("engineRan");
    QTest::newRow("missing patch file") << "missing"
                                        << "Failed to get dir diff info from diff file. May be corrupt." << false;
    QTest::newRow("truncated patch") << "truncate"
                                     << "Reason: DIRPATCH_PATCH_ERROR" << true;
    QTest::newRow("file of another format") << "other"
                                            << "Reason: DIRPATCH_DIRDIFFINFO_ERROR" << true;
    QTest::newRow("new path leaving the staging directory") << "escape"
                                                            << "Reason: DIRPATCH_LAOD_DIRDIFFDATA_ERROR" << true;
}

void TestApplyPatchJob::refusedPatches()
{
    QFETCH(QString, damage);
    QFETCH(QString, expectedLine);
    QFETCH(bool, engineRan);

    Fixture fixture;
    QVERIFY(fixture.write(oldGame(), newGame()));
    QFile diff(fixture.diffFile());
    if (damage == "missing") {
        QVERIFY(diff.remove());
    } else if (damage == "truncate") {
        QVERIFY(diff.resize(diff.size() - 40));
    } else if (damage == "other") {
        QVERIFY(diff.open(QIODevice::WriteOnly));
        diff.write("just some text, not a patch\n");
        diff.close();
    } else if (damage == "escape") {
        DirDiff hostile = DirDiffWriter::build(fixture.oldDir(), fixture.dir.filePath("source"));
        hostile.newPaths[hostile.newPaths.indexOf("readme.txt")] = "../escaped.txt";
        hostile.updateHead();
        QVERIFY(hostile.save(fixture.diffFile()));
    }

    const Outcome outcome = runOnThread(fixture);

    QCOMPARE(outcome.failed, 1);
    QCOMPARE(outcome.finished, 0);
    QVERIFY2(outcome.log.contains(expectedLine), qPrintable(outcome.log.join('\n')));
    QCOMPARE(outcome.log.contains("Patch failed to apply."), engineRan);
    QCOMPARE(FileTree::read(fixture.oldDir()), oldGame());
    QVERIFY(!QFile::exists(fixture.dir.filePath("escaped.txt")));
}

void TestApplyPatchJob::reasonNames_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("line");
    QTest::newRow("success") << 0 << "Reason: DPATCH_SUCCESS";
    QTest::newRow("last general code") << 15 << "Reason: DPATCH_RENAMEPATH_ERROR";
    QTest::newRow("first directory code") << 101 << "Reason: DIRPATCH_DIRDIFFINFO_ERROR";
    QTest::newRow("misspelt name kept") << 109 << "Reason: DIRPATCH_LAOD_DIRDIFFDATA_ERROR";
    QTest::newRow("last directory code") << 115 << "Reason: DIRPATCH_PATCHFINISH_ERROR";
    QTest::newRow("gap between ranges") << 16 << "Reason: ";
    QTest::newRow("diff window code has no name") << 205 << "Reason: ";
    QTest::newRow("negative") << -1 << "Reason: ";
}

void TestApplyPatchJob::reasonNames()
{
    QFETCH(int, code);
    QFETCH(QString, line);
    takeLog();
    ApplyPatchJob::logPatchFailureReason(code);
    QCOMPARE(takeLog(), QStringList{line});
}

void TestApplyPatchJob::pathsMustStayInsideTheirRoot_data()
{
    QTest::addColumn<QByteArray>("root");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("inside");
    QTest::newRow("the root with its slash") << QByteArray("/g/install_new") << QByteArray("/g/install_new/") << true;
    QTest::newRow("a nested file") << QByteArray("/g/install_new") << QByteArray("/g/install_new/a/b.pak") << true;
    QTest::newRow("root given with a slash") << QByteArray("/g/install_new/") << QByteArray("/g/install_new/a") << true;
    QTest::newRow("a dotted name is no step up") << QByteArray("/g/i") << QByteArray("/g/i/..a/b") << true;
    QTest::newRow("step up out of the root")
        << QByteArray("/g/install_new") << QByteArray("/g/install_new/../x") << false;
    QTest::newRow("step up from inside") << QByteArray("/g/i") << QByteArray("/g/i/a/../../x") << false;
    QTest::newRow("sibling sharing the prefix") << QByteArray("/g/install") << QByteArray("/g/install_new/a") << false;
    QTest::newRow("elsewhere entirely") << QByteArray("/g/install") << QByteArray("/etc/passwd") << false;
    QTest::newRow("trailing step up") << QByteArray("/g/i") << QByteArray("/g/i/..") << false;
}

void TestApplyPatchJob::pathsMustStayInsideTheirRoot()
{
    QFETCH(QByteArray, root);
    QFETCH(QByteArray, path);
    QFETCH(bool, inside);
    QCOMPARE(ApplyPatchJob::isInsideRoot(path.constData(), root), inside);
}

QTEST_GUILESS_MAIN(TestApplyPatchJob)
#include "TestApplyPatchJob.moc"
