#include "updater/Updater.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Reaches the stage operations that no road of the launcher binary can isolate yet.
struct UpdaterTestAccess
{
    Updater& u;
    QJsonObject& branchManifest() { return u.branchManifest; }
    QJsonObject& installReceipt() { return u.installReceipt; }
    QJsonObject& localManifest() { return u.localManifest; }
    void checkInstallDone(const QStringList& failedFiles) { u.checkInstallDone(failedFiles); }
    QString& installedVersion() { return u.installedVersion; }
    QList<QJsonObject>& patchQueue() { return u.patchQueue; }
    QList<bool>& patchApplied() { return u.patchApplied; }
    bool& fullInstall() { return u.fullInstall; }
    QString installReceiptPath() { return u.installReceiptPath(); }
    QString installDirPath() { return u.installDirPath(); }
    void buildPatchChain() { u.buildPatchChain(); }
    void queuePatch(const QJsonObject& resource) { u.queuePatch(resource); }
    void saveInstallReceipt() { u.saveInstallReceipt(); }
};

namespace
{
// "parts" 0 makes a started download fail at once, without a request, so each road ends inside
// the call under test.
QJsonObject patch(const QString& name)
{
    return QJsonObject{{"hash", name}, {"parts", 0}, {"size", 10}};
}

QJsonObject node(const QString& version, const QString& target)
{
    return QJsonObject{{"version", version}, {"patch_resource", patch("patch-" + version)}, {"target", target}};
}

QJsonObject manifestWith(const QJsonArray& nodes, const QString& current = "1.3")
{
    return QJsonObject{{"current_game_manifest", QJsonObject{{"version", current}, {"files", QJsonArray{}}}},
                       {"patch_tree_nodes", nodes}};
}

QStringList hashes(const QList<QJsonObject>& queue)
{
    QStringList names;
    for (const QJsonObject& resource : queue)
        names.append(resource["hash"].toString());
    return names;
}
} // namespace

class TestUpdaterPatchPlan : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void followsTheChainOnce_data();
    void followsTheChainOnce();
    void receiptNamesTheVersionReached_data();
    void receiptNamesTheVersionReached();
    void weighsBrokenFilesAgainstTheFullPatch_data();
    void weighsBrokenFilesAgainstTheFullPatch();

private:
    QTemporaryDir data;
};

void TestUpdaterPatchPlan::initTestCase()
{
    QVERIFY(data.isValid());
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
}

void TestUpdaterPatchPlan::followsTheChainOnce_data()
{
    QTest::addColumn<QJsonArray>("nodes");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QStringList>("queued");
    QTest::addColumn<QString>("failure");

    const QString downloadFailure = "Download failed for patch 1!";
    QTest::newRow("two patches in order") << QJsonArray{node("1.1", "1.2"), node("1.0", "1.1")} << "1.0"
                                          << QStringList{"patch-1.0", "patch-1.1"} << downloadFailure;
    QTest::newRow("target missing ends the chain")
        << QJsonArray{QJsonObject{{"version", "1.0"}, {"patch_resource", patch("p")}}, node("1.1", "1.2")} << "1.0"
        << QStringList{"p"} << downloadFailure;
    QTest::newRow("node without patch resource queues an empty one")
        << QJsonArray{QJsonObject{{"version", "1.0"}, {"target", "1.3"}}} << "1.0" << QStringList{""}
        << downloadFailure;
    QTest::newRow("loop back to the start")
        << QJsonArray{node("1.0", "1.1"), node("1.1", "1.0")} << "1.0" << QStringList{"patch-1.0", "patch-1.1"}
        << "The update server's patch tree for branch \"main\" leads back to version \"1.0\", so the game can't be "
           "brought up to date.";
    QTest::newRow("node targets itself")
        << QJsonArray{node("1.0", "1.1"), node("1.1", "1.1")} << "1.0" << QStringList{"patch-1.0", "patch-1.1"}
        << "The update server's patch tree for branch \"main\" leads back to version \"1.1\", so the game can't be "
           "brought up to date.";
}

void TestUpdaterPatchPlan::followsTheChainOnce()
{
    QFETCH(QJsonArray, nodes);
    QFETCH(QString, installed);
    QFETCH(QStringList, queued);
    QFETCH(QString, failure);

    Updater updater("launcher", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess access{updater};
    access.branchManifest() = manifestWith(nodes);
    access.installedVersion() = installed;
    QSignalSpy failed(&updater, &Updater::updateFailed);
    QSignalSpy done(&updater, &Updater::updateDone);

    access.buildPatchChain();
    QCOMPARE(hashes(access.patchQueue()), queued);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.first().at(0).toString(), failure);
    QCOMPARE(failed.first().at(1).toString(), QString("Update Failed!"));
    QCOMPARE(done.count(), 0);
    // Nothing is written for a chain that can't be applied.
    QVERIFY(!QFile::exists(access.installReceiptPath()));
}

void TestUpdaterPatchPlan::receiptNamesTheVersionReached_data()
{
    QTest::addColumn<int>("applied");
    QTest::addColumn<bool>("full");
    QTest::addColumn<QString>("version");

    QTest::newRow("first of three patches applied") << 1 << false << "1.1";
    QTest::newRow("two of three applied") << 2 << false << "1.2";
    QTest::newRow("whole chain applied") << 3 << false << "1.3";
    QTest::newRow("full install") << 1 << true << "1.3";
    QTest::newRow("up to date, nothing queued") << 0 << false << "1.3";
}

void TestUpdaterPatchPlan::receiptNamesTheVersionReached()
{
    QFETCH(int, applied);
    QFETCH(bool, full);
    QFETCH(QString, version);

    Updater updater("launcher", "Main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess access{updater};
    access.branchManifest() = manifestWith({node("1.0", "1.1"), node("1.1", "1.2"), node("1.2", "1.3")});
    access.installedVersion() = "1.0";
    access.installReceipt() = QJsonObject{{"version", "1.0"}, {"unknown", 42}};
    access.fullInstall() = full;
    const int queued = full ? 1 : (applied == 0 ? 0 : 3);
    for (int i = 0; i < queued; ++i)
        access.queuePatch(patch(QString::number(i)));
    for (int i = 0; i < applied; ++i)
        access.patchApplied()[i] = true;

    QVERIFY(QDir().mkpath(QFileInfo(access.installReceiptPath()).absolutePath()));
    access.saveInstallReceipt();
    QFile file(access.installReceiptPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject receipt = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(receipt["version"].toString(), version);
    QCOMPARE(receipt["branch"].toString(), QString("Main"));
    QCOMPARE(receipt["unknown"].toInt(), 42);
}

void TestUpdaterPatchPlan::weighsBrokenFilesAgainstTheFullPatch_data()
{
    QTest::addColumn<QJsonArray>("files");
    QTest::addColumn<QStringList>("failed");
    QTest::addColumn<QJsonValue>("fullPatch");
    QTest::addColumn<bool>("repairs");
    QTest::addColumn<QString>("failure");

    // "parts" 0 makes a started repair fail at once, without a request, so the road shows in the labels.
    const auto file = [](const QString& path, qint64 size) {
        return QJsonObject{{"path", path}, {"resource", QJsonObject{{"hash", "h"}, {"parts", 0}, {"size", size}}}};
    };
    const auto full = [](qint64 size) {
        return QJsonValue(QJsonObject{{"hash", "full"}, {"parts", 0}, {"size", size}});
    };

    const QString patchFailure = "Download failed for patch 1!";
    QTest::newRow("smaller repairs") << QJsonArray{file("a", 60), file("b", 500)} << QStringList{"a"} << full(100)
                                     << true << patchFailure;
    QTest::newRow("equal size repairs") << QJsonArray{file("a", 100)} << QStringList{"a"} << full(100) << true
                                        << patchFailure;
    QTest::newRow("one byte larger reinstalls")
        << QJsonArray{file("a", 101)} << QStringList{"a"} << full(100) << false << patchFailure;
    QTest::newRow("path listed twice counts twice")
        << QJsonArray{file("a", 60), file("./a", 60)} << QStringList{"a"} << full(100) << false << patchFailure;
    QTest::newRow("full patch above 2 GiB still counts")
        << QJsonArray{file("a", 100)} << QStringList{"a"} << full(3LL << 30) << true << patchFailure;
    QTest::newRow("unrepairable path reinstalls")
        << QJsonArray{file("../x", 1)} << QStringList{"../x"} << full(100) << false << patchFailure;
    QTest::newRow("no full patch resource reinstalls, then launches what is there")
        << QJsonArray{file("a", 1)} << QStringList{"a"} << QJsonValue() << false
        << "Failed to launch Pelwinter. No version of the game is installed and the manifest, though it exists, does "
           "not include a full patch resource. This is considered an unusual error.";
}

void TestUpdaterPatchPlan::weighsBrokenFilesAgainstTheFullPatch()
{
    QFETCH(QJsonArray, files);
    QFETCH(QStringList, failed);
    QFETCH(QJsonValue, fullPatch);
    QFETCH(bool, repairs);
    QFETCH(QString, failure);

    Updater updater("launcher", "main", "main", {}, false, false, true, nullptr);
    UpdaterTestAccess access{updater};
    QJsonObject manifest = manifestWith({});
    if (!fullPatch.isNull())
        manifest["current_full_patch_resource"] = fullPatch;
    access.branchManifest() = manifest;
    access.localManifest() = QJsonObject{{"version", "1.3"}, {"files", files}};
    QSignalSpy bar2(&updater, &Updater::updateProgressBar2);
    QSignalSpy failedSpy(&updater, &Updater::updateFailed);

    access.checkInstallDone(failed);
    QStringList labels;
    for (const QList<QVariant>& call : bar2) {
        // A launch attempt clears the bar.
        if (!call.at(0).toString().isEmpty())
            labels.append(call.at(0).toString());
    }
    // A failed repair falls back to the full install, so both roads end there.
    QCOMPARE(labels, repairs ? QStringList({"WAITING FOR REPAIR", "WAITING FOR INSTALL"})
                             : QStringList({"WAITING FOR INSTALL"}));
    QCOMPARE(failedSpy.count(), 1);
    QCOMPARE(failedSpy.first().at(0).toString(), failure);
    // Nothing of the install is discarded for a full patch that did not arrive.
    QVERIFY(!QFileInfo::exists(access.installDirPath()));
}

QTEST_GUILESS_MAIN(TestUpdaterPatchPlan)
#include "TestUpdaterPatchPlan.moc"
