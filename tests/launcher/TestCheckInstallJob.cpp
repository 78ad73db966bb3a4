#include "jobs/CheckInstallJob.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

namespace
{
const QString installDir = QStringLiteral("/data/pelwinter-installs/main");

QByteArray digest(char fill)
{
    return QByteArray(32, fill);
}

QJsonObject entry(const QString& path, const QByteArray& hash)
{
    return QJsonObject{{"path", path}, {"validation_hash", QString::fromLatin1(hash.toHex())}};
}

QStringList runCheck(const QStringList& hashedFiles, const QByteArrayList& hashes, const QJsonArray& manifest)
{
    CheckInstallJob job(installDir, hashedFiles, hashes, manifest);
    QSignalSpy spy(&job, &CheckInstallJob::finished);
    job.go();
    // The check is synchronous: its result must be there when go() returns.
    if (spy.count() != 1)
        return {QStringLiteral("<finished emitted %1 times>").arg(spy.count())};
    return spy.at(0).at(0).toStringList();
}
} // namespace

class TestCheckInstallJob : public QObject
{
    Q_OBJECT
private slots:
    void reportsMissingAndChangedFiles_data();
    void reportsMissingAndChangedFiles();
    void firstListedDuplicateWins();
    void logsEachVerdict();
    void resolvesOnlyPathsInsideTheInstall_data();
    void resolvesOnlyPathsInsideTheInstall();
};

void TestCheckInstallJob::reportsMissingAndChangedFiles_data()
{
    QTest::addColumn<QJsonArray>("manifest");
    QTest::addColumn<QStringList>("failed");

    const QJsonObject a = entry("a.txt", digest('a'));
    const QJsonObject b = entry("sub/b.bin", digest('b'));
    QJsonObject upper = b;
    upper["validation_hash"] = QString::fromLatin1(digest('b').toHex().toUpper());

    QTest::newRow("all valid") << QJsonArray{a, b} << QStringList{};
    QTest::newRow("empty manifest") << QJsonArray{} << QStringList{};
    QTest::newRow("missing file") << QJsonArray{a, entry("gone.dat", digest('x')), b} << QStringList{"gone.dat"};
    QTest::newRow("changed digest") << QJsonArray{a, entry("sub/b.bin", digest('z'))} << QStringList{"sub/b.bin"};
    QTest::newRow("upper-case hex matches") << QJsonArray{upper} << QStringList{};
    QTest::newRow("short hash never matches")
        << QJsonArray{entry("a.txt", digest('a').left(31))} << QStringList{"a.txt"};
    QTest::newRow("missing validation_hash") << QJsonArray{QJsonObject{{"path", "a.txt"}}} << QStringList{"a.txt"};
    QTest::newRow("dot segment") << QJsonArray{entry("./sub/./b.bin", digest('b'))} << QStringList{};
    QTest::newRow("dotdot back inside") << QJsonArray{entry("sub/../a.txt", digest('a'))} << QStringList{};
    QTest::newRow("doubled separator") << QJsonArray{entry("sub//b.bin", digest('b'))} << QStringList{};
    QTest::newRow("letter case differs") << QJsonArray{entry("A.txt", digest('a'))} << QStringList{"A.txt"};
    QTest::newRow("wrong entry listed twice, reported twice")
        << QJsonArray{entry("a.txt", digest('q')), entry("a.txt", digest('q'))} << QStringList{"a.txt", "a.txt"};
    QTest::newRow("entry without path") << QJsonArray{QJsonObject{{"validation_hash", "00"}}} << QStringList{""};
    QTest::newRow("entry that is no object") << QJsonArray{QJsonValue(7)} << QStringList{""};
    // Absolute paths are refused even when they name a file of the install.
    QTest::newRow("absolute path into the install")
        << QJsonArray{entry(installDir + "/a.txt", digest('a'))} << QStringList{installDir + "/a.txt"};
    QTest::newRow("climbs out of the install")
        << QJsonArray{entry("../../x", digest('a')), a} << QStringList{"../../x"};
    QTest::newRow("climbs out and back in") << QJsonArray{entry("../main/a.txt", digest('a'))} << QStringList{};
    QTest::newRow("install directory itself") << QJsonArray{entry(".", digest('a'))} << QStringList{"."};
}

void TestCheckInstallJob::reportsMissingAndChangedFiles()
{
    QFETCH(QJsonArray, manifest);
    QFETCH(QStringList, failed);

    const QStringList hashed{installDir + "/a.txt", installDir + "/sub/b.bin", installDir + "/extra.log"};
    const QByteArrayList hashes{digest('a'), digest('b'), digest('e')};
    QCOMPARE(runCheck(hashed, hashes, manifest), failed);
}

void TestCheckInstallJob::firstListedDuplicateWins()
{
    // Two walked paths that clean to the same name: the first in list order is compared.
    const QStringList hashed{installDir + "/./a.txt", installDir + "/a.txt"};
    QCOMPARE(runCheck(hashed, {digest('1'), digest('2')}, {entry("a.txt", digest('1'))}), QStringList{});
    QCOMPARE(runCheck(hashed, {digest('1'), digest('2')}, {entry("a.txt", digest('2'))}), QStringList{"a.txt"});
}

void TestCheckInstallJob::logsEachVerdict()
{
    QTest::ignoreMessage(QtDebugMsg, "Validating existing install against local manifest.");
    QTest::ignoreMessage(QtDebugMsg, "File \"gone.dat\" does not exist.");
    QTest::ignoreMessage(QtDebugMsg, "File \"a.txt\" exists but must be repaired.");
    QTest::ignoreMessage(QtDebugMsg, "File \"../x\" lies outside the install directory and is refused.");
    QTest::ignoreMessage(QtDebugMsg, "Failed to validate 3 files.");
    runCheck({installDir + "/a.txt"}, {digest('a')},
             {entry("gone.dat", digest('g')), entry("a.txt", digest('b')), entry("../x", digest('a'))});

    QTest::ignoreMessage(QtDebugMsg, "Validating existing install against local manifest.");
    QTest::ignoreMessage(QtDebugMsg, "All files validated successfully.");
    runCheck({}, {}, {});
}

void TestCheckInstallJob::resolvesOnlyPathsInsideTheInstall_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("resolved");

    QTest::newRow("plain") << "Pelwinter/Binaries/x" << installDir + "/Pelwinter/Binaries/x";
    QTest::newRow("cleaned") << "a/./b//c/../d" << installDir + "/a/b/d";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("dot") << "."
                         << "";
    QTest::newRow("back to the root") << "a/.."
                                      << "";
    QTest::newRow("absolute") << "/etc/passwd"
                              << "";
    QTest::newRow("parent") << "../x"
                            << "";
    QTest::newRow("far above") << "../../x"
                               << "";
    QTest::newRow("sibling with common prefix") << "../main_new/x"
                                                << "";
    QTest::newRow("deep then out") << "a/b/../../../x"
                                   << "";
}

void TestCheckInstallJob::resolvesOnlyPathsInsideTheInstall()
{
    QFETCH(QString, path);
    QFETCH(QString, resolved);
    QCOMPARE(CheckInstallJob::resolveManifestPath(installDir, path), resolved);
    QCOMPARE(CheckInstallJob::resolveManifestPath(installDir + "/", path), resolved);
}

QTEST_GUILESS_MAIN(TestCheckInstallJob)
#include "TestCheckInstallJob.moc"
