#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// A real HTTPS update server on 127.0.0.1 for tests: runs tests/support/update_server.py with
// the test CA's server certificate, serves a folder laid out like the update server under
// "/update", injects faults per path and keeps a log of every request.
//
//     TestUpdateServer server(TEST_CA_DIR);              // serves a fresh temporary folder
//     QVERIFY(server.start());                           // a free port; start(TEST_SERVER_PORT) for
//                                                        // the server the test launcher asks
//     server.putFile("manifest-main-linux.json", json);  // -> /update/manifest-main-linux.json
//     const QString blob = server.putBlob("abc", bytes, 3); // "/update/blobs/abc": abc_0, abc_1, abc_2
//     server.setFaults(blob + "_1", {{.toAttempt = 9, .status = 500}});
//     ... new RetrieveFileJob(&manager, server.url(blob), "File", 3, bytes.size(), nullptr) ...
//     const auto requests = server.requestsFor(blob + "_1"); // attempt numbers, arrival times
//
// In-process clients must trust the test CA: call TestUpdateServer::trustTestCa(TEST_CA_DIR)
// once (it adds ca.pem to the default QSslConfiguration). The launcher binary built for tests
// (TEST_LAUNCHER_BINARY) already trusts it and asks the server on TEST_SERVER_PORT, which is
// launcherPort(): a port of this test program's own, so test programs run side by side.
//
// Start the server once per test program and change its content (reset()) and fault plan per
// row. A row that needs connections refused stops it: the port stays reserved, and
// start(TEST_SERVER_PORT) brings the server back on it.
//
// Content and fault plan may be changed while the server runs; every change of the fault plan
// starts the per-path attempt counts again at 1. stop() (or the destructor) ends the server.
class TestUpdateServer
{
public:
    enum class Certificate
    {
        Trusted,  // server.pem, signed by the test CA
        UnknownCa // rogue-server.pem: same host names, signed by a CA nobody trusts
    };

    // Applies to the requests of one path whose attempt number lies in [fromAttempt, toAttempt].
    struct FaultRule
    {
        int fromAttempt = 1;
        int toAttempt = 0;   // 0: no upper bound
        int status = 0;      // non-zero: answer with this HTTP status instead of the file
        QString fault;       // "close_mid_body", "stall", "chunked", "wrong_length", "resized", "endless", or none
        int delayMSecs = 0;  // pause before answering
        int stallMSecs = 0;  // "stall": how long to send nothing (0: ten minutes)
        int lengthDelta = 1; // "wrong_length": announced length minus real length; "resized": body length
                             // minus the file's
        bool hold = false;   // answer only once the fault plan changes next (setFaults, clearFaults,
                             // reset), then as the rest of the rule says
    };

    struct Request
    {
        QString path;
        double timeMSecs = 0; // arrival, milliseconds since the epoch
        int attempt = 0;      // 1 for the first request of the path under the current plan
        QString action;       // "file", "missing", "status 500", or the fault's name
    };

    // certDir holds ca.pem, server.pem, server.key and rogue-server.pem (TEST_CA_DIR). With an
    // empty rootDir the server serves a temporary folder of its own.
    explicit TestUpdateServer(const QString& certDir, const QString& rootDir = QString());
    ~TestUpdateServer();
    TestUpdateServer(const TestUpdateServer&) = delete;
    TestUpdateServer& operator=(const TestUpdateServer&) = delete;

    // Starts the server and waits until it listens. port 0 picks a free port. False (with a
    // warning) when the server could not be started within a few seconds.
    bool start(quint16 port = 0, Certificate certificate = Certificate::Trusted);
    void stop();

    quint16 port() const { return listeningPort; }
    // The port the test launcher and the launcher's code in this process ask (TEST_SERVER_PORT): a
    // free port, chosen on the first call and held, not listening, for the life of the process, so
    // nothing else takes it and connections to it are refused while no server runs there. The
    // first call also puts it into the environment variable the test build reads, for in-process
    // code and for launchers started from here; LauncherSandbox passes it on too.
    static quint16 launcherPort();
    QString baseUrl() const; // "https://127.0.0.1:<port>/update"
    QString rootDir() const { return root; }

    // "https://127.0.0.1:<port>" + path, for a path such as putFile and putBlob return.
    QString url(const QString& path) const;

    // Writes content to rootDir()/relativePath (folders made as needed); returns the URL path
    // ("/update/" + relativePath).
    QString putFile(const QString& relativePath, const QByteArray& content);
    // Stores a blob as the update server does: one file "blobs/<hash>" for one part, else
    // "blobs/<hash>_0" ... "_<parts-1>" holding consecutive, nearly equal slices of content.
    // Returns the blob's URL path without part suffix ("/update/blobs/<hash>").
    QString putBlob(const QString& hash, const QByteArray& content, int parts = 1);
    // Stores a blob whole as "blobs/<hash>" and has the server answer "<hash>_<i>" with slice i
    // of it, split as a server may split its blobs in its own way: into consecutive chunks of
    // chunkBytes (the last one shorter) when chunkBytes > 0, else into consecutive slices of
    // partLengths. Returns the blob's URL path as putBlob does.
    QString putSplitBlob(const QString& hash, const QByteArray& content, qint64 chunkBytes,
                         const QList<qint64>& partLengths = {});

    // Back to what a server that has just started serves: nothing (the content of rootDir() is
    // removed), no fault plan, an empty request log. For the next test row of a server that keeps
    // running; the port stays the same.
    void reset();

    // Rules for one URL path ("/update/blobs/abc_0"), replacing earlier ones for that path.
    void setFaults(const QString& path, const QList<FaultRule>& rules);
    void clearFaults();

    QList<Request> requestLog() const;
    QList<Request> requestsFor(const QString& path) const;
    // The names under "/update/blobs/" of every request so far, one per request, sorted.
    QStringList blobRequests() const;
    void clearRequestLog();

    // Compresses with the zstd command-line tool, with or without the content size recorded
    // in the frame header.
    static QByteArray zstdCompress(const QByteArray& data, bool withContentSize);
    // Adds certDir/ca.pem to the default TLS configuration of this process.
    static bool trustTestCa(const QString& certDir);

private:
    void writePlan();

    QString certDir;
    QTemporaryDir workDir; // plan, log and (without a given root) the served folder
    QString root;
    QString planPath;
    QString logPath;
    QMap<QString, QList<FaultRule>> plan;
    int generation = 0;
    std::unique_ptr<QProcess> process;
    quint16 listeningPort = 0;
};
