// The publishing tool against independent readers: b3sum and the zstd command-line tool for the file
// blobs, the engine's command-line patcher for the patches, and the test build of the launcher, which
// must install and update a game from nothing but what the tool published.

#include "support/FakeGame.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/RandomBytes.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace
{
using Entries = FileTree::Entries;

const QString gamePath = "Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping";
const QStringList allVersions{"1.0", "1.1", "1.2"};

// A small game: an unchanged, an empty and an executable file in every version, a pak that every
// version changes in place and grows, a file only 1.0 has and nested files that later versions add.
Entries version(const QString& name)
{
    const int step = int(allVersions.indexOf(name));
    QByteArray pak = randomBytes(120000, 1);
    for (int i = 1; i <= step; ++i) {
        pak.replace(5000 * i, 300, randomBytes(300, 10 + i));
        pak.append(randomBytes(20000, 20 + i));
    }
    Entries tree{{gamePath, FileTree::file(FakeGame::script() + "# " + name.toUtf8() + "\n", true)},
                 {"Pelwinter/Content/base.pak", FileTree::file(randomBytes(80000, 2))},
                 {"Pelwinter/Content/level.pak", FileTree::file(pak)},
                 {"Pelwinter/Config/empty.ini", FileTree::file("")}};
    if (step == 0)
        tree["Pelwinter/Content/retired.txt"] = FileTree::file("only in 1.0\n");
    if (step >= 1)
        tree["Pelwinter/Content/Maps/Harbor/harbor.umap"] = FileTree::file(randomBytes(30000, 3));
    if (step >= 2)
        tree["Pelwinter/Binaries/Linux/crash-helper"] = FileTree::file("#!/bin/sh\nexit 0\n", true);
    return tree;
}

QJsonObject readJson(const QString& path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}

// A blob as the launcher downloads it: its parts joined in order.
QByteArray joinedBlob(const QString& publishedDir, const QJsonObject& resource)
{
    const QString path = publishedDir + "/blobs/" + resource["hash"].toString();
    const int parts = resource["parts"].toInt();
    if (parts == 1)
        return readFile(path);
    QByteArray joined;
    for (int i = 0; i < parts; ++i)
        joined += readFile(path + "_" + QString::number(i));
    return joined;
}

QByteArray zstdDecompress(const QByteArray& blob)
{
    QProcess zstd;
    zstd.start("zstd", {"-q", "-d", "-c"});
    zstd.write(blob);
    zstd.closeWriteChannel();
    if (!zstd.waitForFinished() || zstd.exitCode() != 0)
        return "(zstd failed)";
    return zstd.readAllStandardOutput();
}

QStringList filePaths(const Entries& tree)
{
    QStringList paths;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (!it->isDir)
            paths.append(it.key());
    }
    return paths;
}
} // namespace

class TestPublishBranch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void manifestsListEveryFileWithItsBlob_data();
    void manifestsListEveryFileWithItsBlob();
    void patchesTurnEachVersionIntoTheNext_data();
    void patchesTurnEachVersionIntoTheNext();
    void blobsAreCutIntoConsecutiveNearlyEqualParts_data();
    void blobsAreCutIntoConsecutiveNearlyEqualParts();
    void launcherInstallsAndUpdatesFromWhatWasPublished();

private:
    QString sourceDir(const QString& name) const { return work.filePath("source/" + name); }
    QStringList versionArguments(const QStringList& names) const;
    bool publish(const QString& outDir, const QStringList& options, const QStringList& names);
    QJsonObject gameManifest(const QString& name) const;

    QTemporaryDir work;
    QString published;
    QJsonObject branch;
};

void TestPublishBranch::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(!GameContent::b3sumHex("x").isEmpty());
    for (const QString& name : allVersions)
        QVERIFY(FileTree::write(sourceDir(name), version(name)));
    published = work.filePath("published");
    QVERIFY(publish(published, {}, allVersions));
    branch = readJson(published + "/manifest-main-linux.json");
    QVERIFY(!branch.isEmpty());
}

QStringList TestPublishBranch::versionArguments(const QStringList& names) const
{
    QStringList arguments;
    for (const QString& name : names)
        arguments.append(name + "=" + sourceDir(name));
    return arguments;
}

bool TestPublishBranch::publish(const QString& outDir, const QStringList& options, const QStringList& names)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(PUBLISH_BRANCH_BINARY, options + QStringList{outDir} + versionArguments(names));
    return tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

QJsonObject TestPublishBranch::gameManifest(const QString& name) const
{
    const QJsonObject current = branch["current_game_manifest"].toObject();
    if (current["version"].toString() == name)
        return current;
    for (const QJsonValue& node : branch["patch_tree_nodes"].toArray()) {
        if (node["version"].toString() == name)
            return QJsonDocument::fromJson(joinedBlob(published, node["manifest_resource"].toObject())).object();
    }
    return {};
}

void TestPublishBranch::manifestsListEveryFileWithItsBlob_data()
{
    QTest::addColumn<QString>("name");
    for (const QString& name : allVersions)
        QTest::newRow(qPrintable(name)) << name;
}

void TestPublishBranch::manifestsListEveryFileWithItsBlob()
{
    QFETCH(QString, name);
    const QJsonObject manifest = gameManifest(name);
    QCOMPARE(manifest["version"].toString(), name);

    const Entries tree = version(name);
    QStringList listed;
    for (const QJsonValue& value : manifest["files"].toArray()) {
        const QJsonObject entry = value.toObject();
        const QString path = entry["path"].toString();
        listed.append(path);
        const QByteArray content = tree.value(path).content;
        QCOMPARE(entry["validation_hash"].toString(), GameContent::b3sumHex(content));
        const QJsonObject resource = entry["resource"].toObject();
        const QByteArray blob = joinedBlob(published, resource);
        QCOMPARE(resource["size"].toInteger(), blob.size());
        QCOMPARE(resource["hash"].toString(), GameContent::b3sumHex(blob));
        QCOMPARE(zstdDecompress(blob), content);
    }
    QCOMPARE(listed, filePaths(tree));
}

void TestPublishBranch::patchesTurnEachVersionIntoTheNext_data()
{
    QTest::addColumn<QString>("from"); // empty: the full patch, made against an empty tree
    QTest::addColumn<QString>("to");
    QTest::newRow("1.0 -> 1.1") << "1.0"
                                << "1.1";
    QTest::newRow("1.1 -> 1.2") << "1.1"
                                << "1.2";
    QTest::newRow("full patch of 1.2") << ""
                                       << "1.2";
}

void TestPublishBranch::patchesTurnEachVersionIntoTheNext()
{
    QFETCH(QString, from);
    QFETCH(QString, to);

    QJsonObject resource = branch["current_full_patch_resource"].toObject();
    if (!from.isEmpty()) {
        const QJsonArray nodes = branch["patch_tree_nodes"].toArray();
        const QJsonObject node = nodes[allVersions.indexOf(from)].toObject();
        QCOMPARE(node["version"].toString(), from);
        QCOMPARE(node["target"].toString(), to);
        resource = node["patch_resource"].toObject();
    }
    const QByteArray patch = joinedBlob(published, resource);
    QCOMPARE(resource["size"].toInteger(), patch.size());
    QCOMPARE(resource["hash"].toString(), GameContent::b3sumHex(patch));

    QTemporaryDir dir;
    const QString patchPath = dir.filePath("patch");
    QVERIFY(writeFile(patchPath, patch));
    // The full patch is applied to an empty folder, as the launcher does.
    const QString oldDir = from.isEmpty() ? dir.filePath("empty") : sourceDir(from);
    QVERIFY(QDir().mkpath(oldDir));
    QProcess dirpatch;
    dirpatch.start(DIRPATCH_BINARY, {oldDir, patchPath, dir.filePath("out")});
    QVERIFY(dirpatch.waitForFinished(60000));
    QVERIFY2(dirpatch.exitCode() == 0, dirpatch.readAll().constData());
    QCOMPARE(FileTree::read(dir.filePath("out")), FileTree::read(sourceDir(to)));
}

void TestPublishBranch::blobsAreCutIntoConsecutiveNearlyEqualParts_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("parts");
    QTest::addColumn<bool>("fixedSize"); // parts of ceil(size / parts) bytes, the last the rest
    QTest::newRow("full patch in one piece") << "--full-parts" << 1 << false;
    QTest::newRow("full patch in 3 parts") << "--full-parts" << 3 << false;
    QTest::newRow("full patch in 7 parts") << "--full-parts" << 7 << false;
    QTest::newRow("patch in 2 parts") << "--patch-parts" << 2 << false;
    QTest::newRow("full patch in 3 fixed-size parts") << "--full-parts" << 3 << true;
    QTest::newRow("patch in 2 fixed-size parts") << "--patch-parts" << 2 << true;
}

void TestPublishBranch::blobsAreCutIntoConsecutiveNearlyEqualParts()
{
    QFETCH(QString, option);
    QFETCH(int, parts);
    QFETCH(bool, fixedSize);
    QTemporaryDir dir;
    QStringList options{option, QString::number(parts)};
    if (fixedSize)
        options.append("--fixed-size-parts");
    QVERIFY(publish(dir.path(), options, {"1.0", "1.1"}));
    const QJsonObject published = readJson(dir.filePath("manifest-main-linux.json"));
    const QJsonObject resource = option == "--full-parts"
                                     ? published["current_full_patch_resource"].toObject()
                                     : published["patch_tree_nodes"][0]["patch_resource"].toObject();
    QCOMPARE(resource["parts"].toInt(), parts);

    const QString base = dir.filePath("blobs/" + resource["hash"].toString());
    const qint64 size = resource["size"].toInteger();
    QStringList names;
    QList<qint64> sizes;
    QList<qint64> expectedSizes;
    for (int i = 0; i < parts; ++i) {
        const QString path = parts == 1 ? base : base + "_" + QString::number(i);
        names.append(QFileInfo(path).fileName());
        sizes.append(QFileInfo(path).size());
        const qint64 chunk = (size + parts - 1) / parts;
        expectedSizes.append(fixedSize ? qMin(size, chunk * (i + 1)) - qMin(size, chunk * i)
                                       : size * (i + 1) / parts - size * i / parts);
    }
    QCOMPARE(sizes, expectedSizes);
    // Nothing else of this blob: no whole file beside the parts, no part beyond the last.
    QStringList stored = QDir(dir.filePath("blobs")).entryList({resource["hash"].toString() + "*"}, QDir::Files);
    stored.sort();
    names.sort();
    QCOMPARE(stored, names);
    QCOMPARE(GameContent::b3sumHex(joinedBlob(dir.path(), resource)), resource["hash"].toString());
}

void TestPublishBranch::launcherInstallsAndUpdatesFromWhatWasPublished()
{
    const QString root = work.filePath("served");
    TestUpdateServer server(TEST_CA_DIR, root);
    QVERIFY(server.start(TEST_SERVER_PORT));
    LauncherRoad road(server);

    // The first release, then the next two published into the same folder, as a server grows.
    const QList<QStringList> releases{{"1.0"}, allVersions};
    for (const QStringList& release : releases) {
        QVERIFY(publish(root, {}, release));
        const LauncherSandbox::Result run = road.runLauncher();

        QVERIFY2(run.finished && run.exitCode == 0, run.out.constData());
        QVERIFY2(run.out.endsWith("\x1b[1;37;42mAll done!\x1b[0m\n"), run.out.constData());
        QCOMPARE(FileTree::read(road.installDir()), FileTree::read(sourceDir(release.last())));
        QVERIFY(road.gameStarted());
    }
    // The update took the chain of patches, not the full patch.
    const QJsonObject published = readJson(root + "/manifest-main-linux.json");
    const QString fullPatch = "/update/blobs/" + published["current_full_patch_resource"]["hash"].toString();
    QVERIFY(server.requestsFor(fullPatch + "_0").isEmpty());
    for (const QJsonValue& node : published["patch_tree_nodes"].toArray())
        QCOMPARE(server.requestsFor("/update/blobs/" + node["patch_resource"]["hash"].toString()).size(), 1);
}

QTEST_GUILESS_MAIN(TestPublishBranch)
#include "TestPublishBranch.moc"
