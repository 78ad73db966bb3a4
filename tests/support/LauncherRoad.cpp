#include "LauncherRoad.h"

#include "FakeGame.h"
#include "Files.h"
#include "GameContent.h"
#include "TestUpdateServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

LauncherRoad::LauncherRoad() : ownServer(std::make_unique<TestUpdateServer>(TEST_CA_DIR)), updateServer(ownServer.get())
{
    setEnv("FAKE_GAME_RECORD", gameRecord());
}

LauncherRoad::LauncherRoad(TestUpdateServer& server) : updateServer(&server)
{
    setEnv("FAKE_GAME_RECORD", gameRecord());
}

LauncherRoad::~LauncherRoad() = default;

std::unique_ptr<TestUpdateServer> LauncherRoad::startServer()
{
    if (GameContent::b3sumHex("x").isEmpty()) {
        qWarning("b3sum can't be run");
        return nullptr;
    }
    auto server = std::make_unique<TestUpdateServer>(TEST_CA_DIR);
    if (!server->start(TestUpdateServer::launcherPort()))
        return nullptr;
    return server;
}

QString LauncherRoad::receiptPath() const
{
    return installDir() + ".json";
}

QString LauncherRoad::gameRecord() const
{
    return root() + "/game.record";
}

QJsonObject LauncherRoad::resource(const QString& hash, qint64 size, int parts)
{
    return QJsonObject{{"hash", hash}, {"parts", parts}, {"size", size}};
}

QJsonObject LauncherRoad::unpublishedFullPatch()
{
    return resource("fullpatch", 1 << 30);
}

QJsonObject LauncherRoad::branchManifest(const QString& version, const QJsonArray& files, const QJsonArray& nodes,
                                         const QJsonObject& fullPatch)
{
    return QJsonObject{
        {"current_game_manifest", QJsonObject{{"version", version}, {"files", files}}},
        {"launcher_version", QJsonObject{{"required", 5}, {"latest", 5}}},
        {"patch_tree_nodes", nodes},
        {"current_full_patch_resource", fullPatch},
    };
}

void LauncherRoad::publishBranch(const QJsonObject& manifest) const
{
    updateServer->putFile("manifest-main-linux.json", QJsonDocument(manifest).toJson());
}

void LauncherRoad::publishBranch(const QString& version, const QJsonArray& files, const QJsonArray& nodes,
                                 const QJsonObject& fullPatch) const
{
    publishBranch(branchManifest(version, files, nodes, fullPatch));
}

QJsonObject LauncherRoad::patchNode(const QString& version, const QString& target, const QJsonObject& patchResource,
                                    const QJsonArray& files) const
{
    const QByteArray manifest = QJsonDocument(QJsonObject{{"version", version}, {"files", files}}).toJson();
    const QString hash = "manifest-" + version;
    updateServer->putBlob(hash, manifest);
    return QJsonObject{
        {"version", version},
        {"target", target},
        {"patch_resource", patchResource},
        {"manifest_resource", resource(hash, manifest.size())},
    };
}

QJsonObject LauncherRoad::installedFile(const QString& path, const QByteArray& content, int parts) const
{
    writeFile(installDir() + "/" + path, content);
    return GameContent::publishFile(*updateServer, path, content, parts);
}

QJsonObject LauncherRoad::installedGame() const
{
    const QString game = FakeGame::install(installDir());
    return GameContent::publishFile(*updateServer, QDir(installDir()).relativeFilePath(game), readFile(game));
}

bool LauncherRoad::writeReceipt(const QJsonObject& receipt) const
{
    return writeFile(receiptPath(), QJsonDocument(receipt).toJson());
}

bool LauncherRoad::writeReceipt(const QString& version) const
{
    return writeReceipt(QJsonObject{{"version", version}});
}

QJsonObject LauncherRoad::readReceipt() const
{
    return QJsonDocument::fromJson(readFile(receiptPath())).object();
}

LauncherSandbox::Result LauncherRoad::runLauncher(int timeoutMSecs, const QMap<QString, QString>& environment,
                                                  const QStringList& wrapper)
{
    QFile::remove(gameRecord());
    updateServer->clearRequestLog();
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        setEnv(it.key(), it.value());
    Result result = wrapper.isEmpty() ? run(TEST_LAUNCHER_BINARY, {}, timeoutMSecs)
                                      : run(wrapper.first(), wrapper.mid(1) << TEST_LAUNCHER_BINARY, timeoutMSecs);
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        setEnv(it.key(), "");
    if (result.exitStatus != QProcess::NormalExit || result.exitCode != 0)
        result.finished = false;
    return result;
}

LauncherSandbox::Result LauncherRoad::runWithFaults(const QString& faultLibrary, const QMap<QString, QString>& faults,
                                                    const QString& swapDir, int timeoutMSecs)
{
    QMap<QString, QString> environment{{"LD_PRELOAD", faultLibrary}};
    for (auto it = faults.cbegin(); it != faults.cend(); ++it)
        environment.insert(it.key(), withPaths(it.value(), swapDir));
    return runLauncher(timeoutMSecs, environment);
}

bool LauncherRoad::gameStarted(int waitMSecs) const
{
    return FakeGame::readRecord(gameRecord(), waitMSecs).found;
}

QString LauncherRoad::withPaths(QString text, const QString& swapDir) const
{
    return text.replace("{staging}", swapDir + "_new")
        .replace("{aside}", swapDir + "_new_new")
        .replace("{install}", swapDir)
        .replace("{temp}", installsDir() + "/temp");
}
