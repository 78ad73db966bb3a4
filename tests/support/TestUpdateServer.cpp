#include "TestUpdateServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QThread>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
QString serverScript()
{
    // The script lies beside this file; the build passes sources by absolute path.
    return QFileInfo(QStringLiteral(__FILE__)).absolutePath() + "/update_server.py";
}

QString python()
{
    if (QFileInfo::exists("/usr/bin/python3"))
        return "/usr/bin/python3";
    return QStandardPaths::findExecutable("python3");
}

bool writeWhole(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
}
} // namespace

TestUpdateServer::TestUpdateServer(const QString& certDir, const QString& rootDir) : certDir(certDir)
{
    root = rootDir.isEmpty() ? workDir.filePath("root") : rootDir;
    QDir().mkpath(root);
    planPath = workDir.filePath("plan.json");
    logPath = workDir.filePath("requests.jsonl");
    writePlan();
    QFile(logPath).open(QIODevice::WriteOnly);
}

TestUpdateServer::~TestUpdateServer()
{
    stop();
}

bool TestUpdateServer::start(quint16 port, Certificate certificate)
{
    stop();
    const QString cert = certDir + (certificate == Certificate::Trusted ? "/server.pem" : "/rogue-server.pem");
    // A fixed port may still be held for a moment by a server that has just ended.
    const int tries = port == 0 ? 1 : 30;
    for (int attempt = 0; attempt < tries; ++attempt) {
        process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(python(), {serverScript(), "--root", root, "--port", QString::number(port), "--cert", cert,
                                  "--key", certDir + "/server.key", "--plan", planPath, "--log", logPath});
        QDeadlineTimer deadline(10000);
        QByteArray output;
        while (!output.contains('\n') && !deadline.hasExpired() && process->state() != QProcess::NotRunning) {
            process->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            output += process->readAllStandardOutput();
        }
        if (output.startsWith("READY ")) {
            listeningPort = quint16(output.mid(6).trimmed().toUInt());
            if (listeningPort != 0)
                return true;
        }
        stop();
        QThread::msleep(100);
    }
    qWarning("TestUpdateServer: the update server did not start");
    return false;
}

void TestUpdateServer::stop()
{
    if (process) {
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
        process.reset();
    }
    listeningPort = 0;
}

quint16 TestUpdateServer::launcherPort()
{
    static const quint16 port = [] {
        // Bound with SO_REUSEADDR but never listening: the server binds the same port the same way
        // (only one socket may listen), while ports the system hands out skip it.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("TestUpdateServer: cannot reserve a loopback port: %s", strerror(errno));
        const quint16 reserved = ntohs(address.sin_port);
        qputenv(TEST_SERVER_PORT_VARIABLE, QByteArray::number(reserved));
        return reserved;
    }();
    return port;
}

QString TestUpdateServer::baseUrl() const
{
    return QString("https://127.0.0.1:%1/update").arg(listeningPort);
}

QString TestUpdateServer::url(const QString& path) const
{
    return QString("https://127.0.0.1:%1").arg(listeningPort) + path;
}

QString TestUpdateServer::putFile(const QString& relativePath, const QByteArray& content)
{
    const QString path = root + "/" + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!writeWhole(path, content))
        qWarning("TestUpdateServer: cannot write %s", qPrintable(path));
    return "/update/" + relativePath;
}

QString TestUpdateServer::putBlob(const QString& hash, const QByteArray& content, int parts)
{
    if (parts <= 1)
        return putFile("blobs/" + hash, content);
    for (int i = 0; i < parts; ++i) {
        const qsizetype begin = content.size() * i / parts;
        const qsizetype end = content.size() * (i + 1) / parts;
        putFile(QString("blobs/%1_%2").arg(hash).arg(i), content.mid(begin, end - begin));
    }
    return "/update/blobs/" + hash;
}

QString TestUpdateServer::putSplitBlob(const QString& hash, const QByteArray& content, qint64 chunkBytes,
                                       const QList<qint64>& partLengths)
{
    QJsonObject split;
    if (chunkBytes > 0) {
        split["chunk_bytes"] = chunkBytes;
    } else {
        QJsonArray lengths;
        for (qint64 length : partLengths)
            lengths.append(length);
        split["part_lengths"] = lengths;
    }
    putFile("blobs/" + hash + ".split", QJsonDocument(split).toJson());
    return putFile("blobs/" + hash, content);
}

void TestUpdateServer::reset()
{
    QDir served(root);
    for (const QFileInfo& entry :
         served.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            served.remove(entry.fileName());
    }
    clearFaults();
    clearRequestLog();
}

void TestUpdateServer::setFaults(const QString& path, const QList<FaultRule>& rules)
{
    plan[path] = rules;
    writePlan();
}

void TestUpdateServer::clearFaults()
{
    plan.clear();
    writePlan();
}

void TestUpdateServer::writePlan()
{
    QJsonObject paths;
    for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
        QJsonArray rules;
        for (const FaultRule& rule : it.value()) {
            QJsonObject json{{"from", rule.fromAttempt}};
            if (rule.toAttempt > 0)
                json["to"] = rule.toAttempt;
            if (rule.status != 0)
                json["status"] = rule.status;
            if (!rule.fault.isEmpty())
                json["fault"] = rule.fault;
            if (rule.delayMSecs > 0)
                json["delay_ms"] = rule.delayMSecs;
            if (rule.stallMSecs > 0)
                json["stall_ms"] = rule.stallMSecs;
            json["length_delta"] = rule.lengthDelta;
            if (rule.hold)
                json["hold"] = true;
            rules.append(json);
        }
        paths[it.key()] = rules;
    }
    // Replaced by rename, so the server never reads half a plan.
    if (!writeWhole(planPath, QJsonDocument(QJsonObject{{"generation", ++generation}, {"paths", paths}}).toJson()))
        qWarning("TestUpdateServer: cannot write the fault plan");
}

QList<TestUpdateServer::Request> TestUpdateServer::requestLog() const
{
    QList<Request> requests;
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return requests;
    for (const QByteArray& line : file.readAll().split('\n')) {
        // The last line may still be being written.
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.isEmpty())
            continue;
        requests.append(
            {entry["path"].toString(), entry["time"].toDouble(), entry["attempt"].toInt(), entry["action"].toString()});
    }
    return requests;
}

QStringList TestUpdateServer::blobRequests() const
{
    QStringList names;
    for (const Request& request : requestLog()) {
        if (request.path.startsWith("/update/blobs/"))
            names.append(request.path.mid(int(strlen("/update/blobs/"))));
    }
    names.sort();
    return names;
}

QList<TestUpdateServer::Request> TestUpdateServer::requestsFor(const QString& path) const
{
    QList<Request> requests;
    for (const Request& request : requestLog()) {
        if (request.path == path)
            requests.append(request);
    }
    return requests;
}

void TestUpdateServer::clearRequestLog()
{
    // The server appends, so its next line lands at the start of the emptied file.
    QFile(logPath).resize(0);
}

QByteArray TestUpdateServer::zstdCompress(const QByteArray& data, bool withContentSize)
{
    QTemporaryDir dir;
    const QString input = dir.filePath("input");
    if (!writeWhole(input, data))
        return {};
    QProcess zstd;
    zstd.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    zstd.start("zstd", {"-q", "-c", withContentSize ? "--content-size" : "--no-content-size", input});
    if (!zstd.waitForFinished(60000) || zstd.exitStatus() != QProcess::NormalExit || zstd.exitCode() != 0) {
        qWarning("TestUpdateServer: zstd failed");
        return {};
    }
    return zstd.readAllStandardOutput();
}

bool TestUpdateServer::trustTestCa(const QString& certDir)
{
    const QList<QSslCertificate> ca = QSslCertificate::fromPath(certDir + "/ca.pem");
    if (ca.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(ca);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}
