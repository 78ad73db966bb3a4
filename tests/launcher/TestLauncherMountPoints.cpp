// Installs with a mount inside, end to end through the test build of the launcher: a game folder on a
// tmpfs or bind-mounted from elsewhere on the same disk, and an install folder that is itself a mount
// point. An update would copy such an install onto the file system below it, fail to rename it, or
// remove the old one through the mount, deleting what that other file system holds; so it is refused
// before anything is copied or downloaded, and every removal stops at a mount. Mounting needs root:
// elsewhere every test skips, saying why. Mounts are taken down in cleanup whatever happened.

#include "support/DirDiffWriter.h"
#include "support/FakeGame.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/RandomBytes.h"
#include "support/ScratchMount.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

namespace
{
using Entries = FileTree::Entries;

const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";
const QByteArray refusedLine =
    "\x1b[1;37;41mUpdate Failed!\x1b[0m \x1b[1;31mCan't update an install that holds a mount point!\x1b[0m\n";
const QByteArray leftoversLine = "\x1b[1;37;41mInit Failed!\x1b[0m \x1b[1;31mCan't remove old files!\x1b[0m\n";
const QString gamePath = "Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping";
const QString contentFolder = "Pelwinter/Content";

// Two versions of a small game; the patch from 1.0 rewrites a.pak, which lies in the folder the tests mount.
Entries version(const QString& name)
{
    return {{"Pelwinter/", FileTree::dir()},
            {"Pelwinter/Binaries/", FileTree::dir()},
            {"Pelwinter/Binaries/Linux/", FileTree::dir()},
            {contentFolder + "/", FileTree::dir()},
            {gamePath, FileTree::file(FakeGame::script() + "# " + name.toUtf8() + "\n", true)},
            {contentFolder + "/a.pak", FileTree::file(randomBytes(6000, name == "1.0" ? 1 : 2))},
            {contentFolder + "/b.pak", FileTree::file(randomBytes(4000, 3))}};
}
} // namespace

class TestLauncherMountPoints : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updateOfAnInstallHoldingAMountIsRefused_data();
    void updateOfAnInstallHoldingAMountIsRefused();
    void upToDateInstallWithAMountInsideLaunches();
    void leftoverHoldingAMountIsNotRemoved_data();
    void leftoverHoldingAMountIsNotRemoved();

private:
    // The folder the swap renames: the install directory, or the target of a linked install.
    QString swapDir() const { return linkTarget.isEmpty() ? road->installDir() : linkTarget; }
    // Mounts a tmpfs at point, or binds bindSource there; skips the test when that can't be done here.
    bool mountAt(const QString& point, const QString& bindSource = QString());
    // Publishes the branch at current, with the patch from 1.0 when current is 1.1.
    void publish(const QString& current);
    void installVersion(const QString& name);

    QTemporaryDir sources;
    QByteArray patch; // 1.0 to 1.1
    std::unique_ptr<LauncherRoad> road;
    std::unique_ptr<QTemporaryDir> elsewhere;
    std::vector<std::unique_ptr<MountOn>> mounts;
    QString linkTarget;
};

void TestLauncherMountPoints::initTestCase()
{
    QVERIFY(!GameContent::b3sumHex("x").isEmpty());
    QVERIFY(!FakeGame::script().isEmpty());
    for (const QString& name : {"1.0", "1.1"})
        QVERIFY(FileTree::write(sources.filePath(name), version(name)));
    patch = DirDiffWriter::build(sources.filePath("1.0"), sources.filePath("1.1")).toBytes();
}

void TestLauncherMountPoints::init()
{
    road = std::make_unique<LauncherRoad>();
    QVERIFY(road->server().start(TEST_SERVER_PORT));
    QVERIFY(road->isValid());
    elsewhere = std::make_unique<QTemporaryDir>();
    QVERIFY(elsewhere->isValid());
}

void TestLauncherMountPoints::cleanup()
{
    // the mounts first, the last made first: nothing may be removed through one
    while (!mounts.empty())
        mounts.pop_back();
    road.reset();
    elsewhere.reset();
    linkTarget.clear();
}

bool TestLauncherMountPoints::mountAt(const QString& point, const QString& bindSource)
{
    mounts.push_back(std::make_unique<MountOn>(point, bindSource));
    if (mounts.back()->isMounted())
        return true;
    QTest::qSkip(qPrintable("no mount: " + mounts.back()->whyNot()), __FILE__, __LINE__);
    return false;
}

void TestLauncherMountPoints::publish(const QString& current)
{
    const auto manifestFiles = [this](const QString& name) {
        return GameContent::publishFiles(road->server(), version(name));
    };
    QJsonArray nodes;
    if (current == "1.1") {
        road->server().putBlob("patch-1.0", patch, 1);
        nodes.append(
            road->patchNode("1.0", "1.1", LauncherRoad::resource("patch-1.0", patch.size()), manifestFiles("1.0")));
    }
    const QByteArray full = DirDiffWriter::build(QString(), sources.filePath(current)).toBytes();
    road->server().putBlob("full-" + current, full, 1);
    road->publishBranch(current, manifestFiles(current), nodes, LauncherRoad::resource("full-" + current, full.size()));
}

void TestLauncherMountPoints::installVersion(const QString& name)
{
    QVERIFY(FileTree::write(swapDir(), version(name)));
}

void TestLauncherMountPoints::updateOfAnInstallHoldingAMountIsRefused_data()
{
    QTest::addColumn<QString>("where");    // what is mounted
    QTest::addColumn<bool>("withReceipt"); // without one the road is a full install
    QTest::addColumn<QString>("line");     // the line naming the folder

    const QString holds = "The install folder \"{install}\" holds the mount point \"{install}/" + contentFolder + "\"";
    const QString is = "The install folder \"{install}\" is a mount point.";
    QTest::newRow("a tmpfs on a game folder, patch chain") << "game folder" << true << holds;
    // of the same disk: its device number is its parent's
    QTest::newRow("a game folder bind-mounted, patch chain") << "bind" << true << holds;
    QTest::newRow("the install folder a mount point, patch chain") << "install folder" << true << is;
    // tested where the link leads, against that folder's own parent
    QTest::newRow("a link to a mount point, patch chain") << "link" << true << is;
    QTest::newRow("a tmpfs on a game folder, full install") << "game folder" << false << holds;
}

void TestLauncherMountPoints::updateOfAnInstallHoldingAMountIsRefused()
{
    QFETCH(QString, where);
    QFETCH(bool, withReceipt);
    QFETCH(QString, line);

    if (where == "link") {
        linkTarget = elsewhere->path() + "/disk";
        if (!mountAt(linkTarget))
            return;
        QVERIFY(QDir().mkpath(road->installsDir()));
        QVERIFY(QFile::link(linkTarget, road->installDir()));
    } else if (where == "install folder") {
        if (!mountAt(road->installDir()))
            return;
    } else if (where == "bind") {
        QVERIFY(QDir().mkpath(elsewhere->path() + "/content"));
        if (!mountAt(road->installDir() + "/" + contentFolder, elsewhere->path() + "/content"))
            return;
    } else if (!mountAt(road->installDir() + "/" + contentFolder)) {
        return;
    }
    installVersion("1.0");
    publish("1.1");
    if (withReceipt)
        QVERIFY(road->writeReceipt(QJsonObject{{"version", "1.0"}, {"branch", "main"}}));
    const QByteArray receipt = readFile(road->receiptPath());
    const Entries installed = FileTree::read(swapDir());

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.err.right(1500).constData());
    QVERIFY2(run.out.endsWith(refusedLine), run.out.right(1500).constData());
    const QStringList log = road->logMessages();
    QVERIFY2(log.contains(road->withPaths(line, swapDir())), qPrintable(log.join("\n")));
    // nothing made, downloaded, copied or changed; the mounted files as they were
    for (const QString& message : log)
        QVERIFY2(!message.startsWith("Created "), qPrintable(message));
    for (const QString& blob : road->server().blobRequests())
        QVERIFY2(!blob.startsWith("patch-") && !blob.startsWith("full-"), qPrintable(blob));
    QCOMPARE(FileTree::read(swapDir()), installed);
    QCOMPARE(FileTree::read(swapDir()), version("1.0"));
    QCOMPARE(readFile(road->receiptPath()), receipt);
    for (const QString& left : {"{staging}", "{aside}", "{temp}"})
        QVERIFY2(!QFileInfo::exists(road->withPaths(left, swapDir())), qPrintable(left));
    QVERIFY(!road->gameStarted(0));
}

void TestLauncherMountPoints::upToDateInstallWithAMountInsideLaunches()
{
    if (!mountAt(road->installDir() + "/" + contentFolder))
        return;
    installVersion("1.0");
    publish("1.0");
    QVERIFY(road->writeReceipt(QJsonObject{{"version", "1.0"}, {"branch", "main"}}));

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.out.endsWith(doneLine), run.out.right(1500).constData());
    QVERIFY(road->gameStarted());
    QCOMPARE(FileTree::read(swapDir()), version("1.0"));
}

void TestLauncherMountPoints::leftoverHoldingAMountIsNotRemoved_data()
{
    QTest::addColumn<QString>("leftover"); // a folder an interrupted run left, holding a mounted game folder

    QTest::newRow("the old install moved aside") << "{aside}";
    QTest::newRow("a staging folder") << "{staging}";
    QTest::newRow("the download folder") << "{temp}";
}

// The removals at start stop at the mount at once, before anything goes and without their retries.
void TestLauncherMountPoints::leftoverHoldingAMountIsNotRemoved()
{
    QFETCH(QString, leftover);
    const QString folder = road->withPaths(leftover, swapDir());
    if (!mountAt(folder + "/" + contentFolder))
        return;
    QVERIFY(FileTree::write(folder, version("1.0")));
    installVersion("1.0");
    publish("1.0");
    QVERIFY(road->writeReceipt(QJsonObject{{"version", "1.0"}, {"branch", "main"}}));

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.err.right(1500).constData());
    QVERIFY2(run.out.contains(leftoversLine), run.out.right(1500).constData());
    const QStringList log = road->logMessages();
    const QString refused = "Failed to recursively remove \"" + folder + "\" as it holds the mount point \"" + folder +
                            "/" + contentFolder + "\"";
    QVERIFY2(log.contains(refused), qPrintable(log.join("\n")));
    QVERIFY(!log.contains("Exhausted retries!"));
    QCOMPARE(FileTree::read(folder), version("1.0"));
    QCOMPARE(FileTree::read(swapDir()), version("1.0"));
}

QTEST_GUILESS_MAIN(TestLauncherMountPoints)
#include "TestLauncherMountPoints.moc"
