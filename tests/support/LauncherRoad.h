#pragma once

#include "LauncherSandbox.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>

class TestUpdateServer;

// One road of the real launcher, end to end: the test build of the launcher run in its own sandbox
// against a loopback update server, from a published branch and a receipt to the stand-in game's
// record of its start. The road tests make one per test, on a server of the whole program or on
// one of its own.
//
//     LauncherRoad road;   // on a server of its own, not started yet
//     QVERIFY(road.server().start(TEST_SERVER_PORT));
//     road.publishBranch("1.0", {road.installedGame()});
//     road.writeReceipt("1.0");
//     const LauncherSandbox::Result run = road.runLauncher();
//     QVERIFY(run.finished);   // ended through the front end's quit, exit code 0
//     QVERIFY(road.gameStarted());
class LauncherRoad : public LauncherSandbox
{
public:
    // A road on a server of its own, made but not started.
    LauncherRoad();
    // A road on a server it shares; the server outlives it.
    explicit LauncherRoad(TestUpdateServer& server);
    ~LauncherRoad();

    // A server for the roads of a whole test program, started on the program's port, after a check
    // that b3sum (which publishing files uses) runs; null, with a warning, when either fails.
    static std::unique_ptr<TestUpdateServer> startServer();

    TestUpdateServer& server() const { return *updateServer; }
    QString receiptPath() const; // the receipt of installDir()
    QString gameRecord() const;  // where the stand-in game records its start

    // A resource as manifests name one.
    static QJsonObject resource(const QString& hash, qint64 size, int parts = 1);
    // The full patch the road tests' branches name when no run is meant to take it: a GiB, never published.
    static QJsonObject unpublishedFullPatch();
    // The branch manifest of a release of the given version listing files, with the patch tree's nodes.
    static QJsonObject branchManifest(const QString& version, const QJsonArray& files, const QJsonArray& nodes = {},
                                      const QJsonObject& fullPatch = unpublishedFullPatch());
    // Serves manifest as the branch the launcher follows.
    void publishBranch(const QJsonObject& manifest) const;
    void publishBranch(const QString& version, const QJsonArray& files, const QJsonArray& nodes = {},
                       const QJsonObject& fullPatch = unpublishedFullPatch()) const;
    // Publishes the game manifest of version (listing files) as the blob "manifest-<version>" and
    // returns the patch tree's node from version to target through the patch at patchResource.
    QJsonObject patchNode(const QString& version, const QString& target, const QJsonObject& patchResource,
                          const QJsonArray& files) const;

    // Writes content at path inside the install and publishes it as the manifest entry for path.
    QJsonObject installedFile(const QString& path, const QByteArray& content, int parts = 1) const;
    // Installs the stand-in game and publishes it, so the game is part of the manifest too.
    QJsonObject installedGame() const;

    bool writeReceipt(const QJsonObject& receipt) const;
    bool writeReceipt(const QString& version) const; // {"version": version}
    QJsonObject readReceipt() const;

    // Runs the launcher to its end with environment added for this run only, under wrapper (a
    // program and its arguments, given the launcher's path last) when one is given. Every road ends
    // through the front end's quit: a run that crashes, hangs or exits with another code comes back
    // with finished false.
    Result runLauncher(int timeoutMSecs = 60000, const QMap<QString, QString>& environment = {},
                       const QStringList& wrapper = {});
    // The same with the fault module faultLibrary preloaded and faults set, their paths written as
    // withPaths() reads them.
    Result runWithFaults(const QString& faultLibrary, const QMap<QString, QString>& faults, const QString& swapDir,
                         int timeoutMSecs = 60000);
    // The game starts detached and may write its record a moment after the launcher ended.
    bool gameStarted(int waitMSecs = 5000) const;

    // The log's texts name the install's real paths: "{install}" stands for swapDir (the folder the
    // swap renames: the install directory, or the target of a linked install), "{staging}" and
    // "{aside}" for the folders beside it, "{temp}" for the launcher's temporary folder.
    QString withPaths(QString text, const QString& swapDir) const;

private:
    std::unique_ptr<TestUpdateServer> ownServer;
    TestUpdateServer* updateServer;
};
