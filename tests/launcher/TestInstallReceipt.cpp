#include "jobs/LauncherTemporaries.h"
#include "support/Files.h"
#include "updater/InstallReceipt.h"
#include "updater/PendingInstallReceipt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>

namespace
{
// Makes writes beyond `bytes` fail in this process the way a full disk does.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }

private:
    rlimit saved{};
    void (*previousHandler)(int) = nullptr;
};

struct Stamp
{
    qint64 inode = -1;
    qint64 modifiedNSecs = -1;
    bool operator==(const Stamp&) const = default;
};

Stamp stampOf(const QString& path)
{
    struct stat status;
    if (stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return {qint64(status.st_ino), qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

using ReceiptChange = std::function<void(QJsonObject& receipt, const QString& path)>;

// A folder holding an install "main" with its receipt "main.json", and the staging folder "main_new" beside
// it, as a swap finds them.
struct InstallFolder
{
    QTemporaryDir dir;
    QString receipt = dir.filePath("main.json");
    QString install = dir.filePath("main");
    QString staging = dir.filePath("main_new");
};

// Writes, beside the receipt, what a run cut short left there: receipt temporaries, whole or not, bound to
// a folder or not. Returns the content the receipt must hold once the start has chosen, or an empty text
// when the receipt must stay as it was.
using LeftBehind = std::function<QByteArray(InstallFolder& folder)>;

// The pending receipt of version 1.1 bound to folder, written as a swap writes it; its path.
QString pendingOf(const InstallFolder& folder, const QString& boundTo)
{
    QJsonObject receipt{{"version", "1.1"}, {"branch", "main"}, {"gameFiles", QJsonArray{QJsonObject{{"path", "a"}}}}};
    return writePendingInstallReceipt(folder.receipt, receipt, boundTo);
}

// Changes the binding of the pending receipt at path as change says.
void rebind(const QString& path, const std::function<void(QJsonObject& identity)>& change)
{
    QJsonObject receipt = QJsonDocument::fromJson(readFile(path)).object();
    QJsonObject identity = receipt["installFolderIdentity"].toObject();
    change(identity);
    receipt["installFolderIdentity"] = identity;
    QVERIFY(writeFile(path, QJsonDocument(receipt).toJson()));
}

// The names of the receipt temporaries of main.json in dir.
QStringList receiptTemporaries(const QString& dir)
{
    QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.removeIf([](const QString& name) { return !LauncherTemporaries::isReceiptTemporary(name, "main.json"); });
    return names;
}
} // namespace

Q_DECLARE_METATYPE(ReceiptChange)
Q_DECLARE_METATYPE(LeftBehind)

class TestInstallReceipt : public QObject
{
    Q_OBJECT
private slots:
    void read_data();
    void read();
    void rewriteKeepsUnknownKeys();
    void failedWriteKeepsOldReceipt_data();
    void failedWriteKeepsOldReceipt();
    void keepsTheModeAndTheLinkOfTheReceipt();
    void removesOnlyItsOwnLeftovers();
    void rewritesOnlyChangedContent_data();
    void rewritesOnlyChangedContent();
    void leavesTheStoredReceiptAlone_data();
    void leavesTheStoredReceiptAlone();
    void startTakesTheReceiptBoundToTheInstall_data();
    void startTakesTheReceiptBoundToTheInstall();
    void receiptWrittenAheadIsTakenOnlyOnceInPlace();
};

void TestInstallReceipt::read_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QByteArray>("receipt");
    QTest::newRow("no file is no receipt") << false << QByteArray() << false << QByteArray("{}");
    QTest::newRow("empty file is a receipt without keys") << true << QByteArray() << true << QByteArray("{}");
    QTest::newRow("not JSON") << true << QByteArray("version=1.0") << true << QByteArray("{}");
    QTest::newRow("array root") << true << QByteArray(R"([{"version": "1.0"}])") << true << QByteArray("{}");
    QTest::newRow("truncated object") << true << QByteArray(R"({"version": "1.0", "gameF)") << true << QByteArray("{}");
    QTest::newRow("object") << true << QByteArray(R"({"version": "1.0", "branch": "Main", "gameFiles": []})") << true
                            << QByteArray(R"({"version": "1.0", "branch": "Main", "gameFiles": []})");
}

void TestInstallReceipt::read()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath("main.json");
    if (exists)
        writeFile(path, content);
    const LoadedInstallReceipt result = readInstallReceipt(path);
    QTEST(result.loaded, "loaded");
    QFETCH(QByteArray, receipt);
    QCOMPARE(result.receipt, QJsonDocument::fromJson(receipt).object());
}

void TestInstallReceipt::rewriteKeepsUnknownKeys()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("main.json");
    // Written compactly by another program, with keys this launcher has never heard of.
    writeFile(path, R"({"version":"1.0","branch":"Main","gameFiles":[{"path":"a","size":"1"}],)"
                    R"("installedBy":"other","extra":{"nested":[1,2,{"k":true}]}})");

    LoadedInstallReceipt loaded = readInstallReceipt(path);
    QVERIFY(loaded.loaded);
    loaded.receipt["version"] = "2.0";
    loaded.receipt["branch"] = "Beta";
    QVERIFY(writeInstallReceipt(path, loaded.receipt));

    const QByteArray written = readFile(path);
    QCOMPARE(written, QJsonDocument(loaded.receipt).toJson(QJsonDocument::Indented));
    QVERIFY(written.contains("\n    \"installedBy\": \"other\""));
    const QJsonObject reread = readInstallReceipt(path).receipt;
    QCOMPARE(reread["version"].toString(), "2.0");
    QCOMPARE(reread["installedBy"].toString(), "other");
    QCOMPARE(reread["extra"].toObject()["nested"].toArray().size(), 3);
    QCOMPARE(reread["gameFiles"].toArray().first().toObject()["path"].toString(), "a");
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"main.json"});
}

void TestInstallReceipt::failedWriteKeepsOldReceipt_data()
{
    QTest::addColumn<bool>("diskFull");
    QTest::newRow("folder of the receipt is gone") << false;
    QTest::newRow("disk full while writing") << true;
}

void TestInstallReceipt::failedWriteKeepsOldReceipt()
{
    QFETCH(bool, diskFull);
    QTemporaryDir dir;
    const QByteArray old = R"({"version": "1.0", "branch": "Main"})";
    const QString path = diskFull ? dir.filePath("main.json") : dir.filePath("gone/main.json");
    if (diskFull)
        writeFile(path, old);

    QJsonObject receipt{{"version", "2.0"}, {"branch", "Main"}, {"padding", QString(4096, 'x')}};
    bool written = true;
    {
        std::optional<FileSizeLimit> limit;
        if (diskFull)
            limit.emplace(256);
        written = writeInstallReceipt(path, receipt);
    }
    QVERIFY(!written);
    if (diskFull)
        QCOMPARE(readFile(path), old);
    else
        QVERIFY(!QFile::exists(path));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), diskFull ? QStringList{"main.json"} : QStringList{});
}

// The new content is renamed over the file the receipt's path leads to: a receipt kept as a link stays
// a link, and the file keeps the mode it had.
void TestInstallReceipt::keepsTheModeAndTheLinkOfTheReceipt()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("kept/receipt.json");
    QVERIFY(writeFile(target, R"({"version": "1.0"})"));
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0640), 0);
    const QString path = dir.filePath("main.json");
    QVERIFY(QFile::link("kept/receipt.json", path));

    const QJsonObject receipt{{"version", "2.0"}, {"branch", "main"}};
    QVERIFY(writeInstallReceipt(path, receipt));
    QVERIFY(QFileInfo(path).isSymLink());
    QCOMPARE(readFile(target), QJsonDocument(receipt).toJson(QJsonDocument::Indented));
    struct stat status;
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &status), 0);
    QCOMPARE(status.st_mode & 07777, mode_t(0640));
    QCOMPARE(QDir(dir.filePath("kept")).entryList(QDir::Files), QStringList{"receipt.json"});
}

// A save killed before its rename leaves the new content in a temporary beside the receipt. The start
// removes those of this receipt, bound to no folder, only: files of that name, not another install's or
// anyone else's.
void TestInstallReceipt::removesOnlyItsOwnLeftovers()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("main.json");
    const QByteArray old = R"({"version": "1.0"})";
    QVERIFY(writeFile(path, old));
    const QStringList leftovers = {"main.json.pelwinter-launcher-3k9x2.receipt",
                                   "main.json.pelwinter-launcher-0.receipt"};
    const QStringList others = {
        "other.json.pelwinter-launcher-3k9x2.receipt", // another install's
        "main.json.pelwinter-launcher-3k9x2.repair",   // not the receipt's role
        "main.json.pelwinter-launcher-3K9X2.receipt",  // not a random part the launcher makes
        "main.json.pelwinter-launcher-.receipt",       "xmain.json.pelwinter-launcher-3k9x2.receipt",
        "main.pelwinter-launcher-3k9x2.receipt",
    };
    for (const QString& name : leftovers + others)
        QVERIFY(writeFile(dir.filePath(name), "{}"));
    QVERIFY(QDir(dir.path()).mkdir("main.json.pelwinter-launcher-d1r.receipt"));
    QVERIFY(QFile::link("main.json", dir.filePath("main.json.pelwinter-launcher-l1nk.receipt")));

    settleInstallReceipt(path, dir.filePath("main"));

    QStringList left = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    left.sort();
    QStringList wanted = others + QStringList{"main.json", "main.json.pelwinter-launcher-d1r.receipt",
                                              "main.json.pelwinter-launcher-l1nk.receipt"};
    wanted.sort();
    QCOMPARE(left, wanted);
    QCOMPARE(readFile(path), old);

    // The names a save makes are the names the start removes.
    for (int i = 0; i < 100; ++i) {
        const QString made = LauncherTemporaries::pathBeside(path, "receipt");
        QCOMPARE(QFileInfo(made).dir().path(), dir.path());
        QVERIFY2(LauncherTemporaries::isReceiptTemporary(QFileInfo(made).fileName(), "main.json"), qPrintable(made));
    }
}

void TestInstallReceipt::rewritesOnlyChangedContent_data()
{
    QTest::addColumn<QJsonObject>("next");
    QTest::addColumn<bool>("replaced");
    const QJsonObject first{
        {"version", "1.0"}, {"branch", "main"}, {"gameFiles", QJsonArray{QJsonObject{{"path", "a"}}}}};
    QTest::newRow("same content") << first << false;
    QJsonObject sameLength = first;
    sameLength["version"] = "1.1";
    QTest::newRow("one character differs, same length") << sameLength << true;
    QJsonObject longer = first;
    longer["branch"] = "main-2";
    QTest::newRow("longer") << longer << true;
    QTest::newRow("shorter") << QJsonObject{{"version", "1.0"}} << true;
}

// The receipt of an up-to-date install comes out as it was read, on every start; only then may the
// file be left as it is. Anything else must reach the file.
void TestInstallReceipt::rewritesOnlyChangedContent()
{
    QFETCH(QJsonObject, next);
    QFETCH(bool, replaced);
    QTemporaryDir dir;
    const QString path = dir.filePath("main.json");
    const QJsonObject first{
        {"version", "1.0"}, {"branch", "main"}, {"gameFiles", QJsonArray{QJsonObject{{"path", "a"}}}}};
    QVERIFY(writeInstallReceipt(path, first));
    struct stat before;
    QCOMPARE(stat(QFile::encodeName(path).constData(), &before), 0);

    QVERIFY(writeInstallReceipt(path, next));
    QCOMPARE(readFile(path), QJsonDocument(next).toJson(QJsonDocument::Indented));
    struct stat after;
    QCOMPARE(stat(QFile::encodeName(path).constData(), &after), 0);
    QCOMPARE(after.st_ino != before.st_ino, replaced);
}

void TestInstallReceipt::leavesTheStoredReceiptAlone_data()
{
    QTest::addColumn<QByteArray>("onDisk");
    QTest::addColumn<ReceiptChange>("change");
    QTest::addColumn<bool>("written");

    // Compact, as another program might have written it: a write would make it indented.
    const QByteArray receipt = R"({"version":"1.0","branch":"main","other":{"k":1},)"
                               R"("gameFiles":[{"path":"a","hash":"00"},{"path":"b","hash":"11"}]})";
    auto none = [](QJsonObject&, const QString&) {};
    QTest::newRow("read back as it was") << receipt << ReceiptChange(none) << false;
    QTest::newRow("the same records and values assigned again")
        << receipt << ReceiptChange([](QJsonObject& r, const QString&) {
               const QJsonArray records = r["gameFiles"].toArray();
               r["gameFiles"] = records;
               r["version"] = "1.0";
               r["branch"] = "main";
           })
        << false;
    QTest::newRow("equal records in an array of their own")
        << receipt << ReceiptChange([](QJsonObject& r, const QString&) {
               r["gameFiles"] =
                   QJsonDocument::fromJson(R"([{"path":"a","hash":"00"},{"path":"b","hash":"11"}])").array();
           })
        << false;
    QTest::newRow("a record rewritten") << receipt << ReceiptChange([](QJsonObject& r, const QString&) {
        QJsonArray records = r["gameFiles"].toArray();
        records[1] = QJsonObject{{"path", "b"}, {"hash", "12"}};
        r["gameFiles"] = records;
    }) << true;
    QTest::newRow("a record dropped") << receipt << ReceiptChange([](QJsonObject& r, const QString&) {
        QJsonArray records = r["gameFiles"].toArray();
        records.removeLast();
        r["gameFiles"] = records;
    }) << true;
    QTest::newRow("another version") << receipt
                                     << ReceiptChange([](QJsonObject& r, const QString&) { r["version"] = "1.1"; })
                                     << true;
    QTest::newRow("a number where the text was")
        << QByteArray(R"({"version":1,"branch":"main"})")
        << ReceiptChange([](QJsonObject& r, const QString&) { r["version"] = "1"; }) << true;
    QTest::newRow("a key added") << QByteArray(R"({"version":"1.0"})")
                                 << ReceiptChange([](QJsonObject& r, const QString&) { r["branch"] = "main"; }) << true;
    QTest::newRow("the file replaced since it was read")
        << receipt << ReceiptChange([](QJsonObject&, const QString& path) {
               QVERIFY(QFile::remove(path));
               writeFile(path, "{}");
           })
        << true;
    QTest::newRow("a damaged file") << QByteArray(R"({"version":"1.0","gameF)") << ReceiptChange(none) << true;
    QTest::newRow("an empty file") << QByteArray() << ReceiptChange(none) << true;
}

// Saving the receipt that was read writes nothing; any other receipt is written whole. Either way
// the next save of the same receipt writes nothing.
void TestInstallReceipt::leavesTheStoredReceiptAlone()
{
    QFETCH(QByteArray, onDisk);
    QFETCH(ReceiptChange, change);
    QFETCH(bool, written);
    QTemporaryDir dir;
    const QString path = dir.filePath("main.json");
    writeFile(path, onDisk);

    StoredInstallReceipt stored;
    LoadedInstallReceipt loaded = readInstallReceipt(path, &stored);
    QVERIFY(loaded.loaded);
    change(loaded.receipt, path);
    const QByteArray before = readFile(path);
    const Stamp stamp = stampOf(path);

    QVERIFY(writeInstallReceipt(path, loaded.receipt, stored));
    if (written) {
        QCOMPARE(readFile(path), QJsonDocument(loaded.receipt).toJson(QJsonDocument::Indented));
    } else {
        QCOMPARE(readFile(path), before);
        QVERIFY(stampOf(path) == stamp);
    }

    const Stamp saved = stampOf(path);
    QVERIFY(writeInstallReceipt(path, loaded.receipt, stored));
    QVERIFY(stampOf(path) == saved);
    QCOMPARE(readInstallReceipt(path).receipt, loaded.receipt);
}

void TestInstallReceipt::startTakesTheReceiptBoundToTheInstall_data()
{
    QTest::addColumn<LeftBehind>("leftBehind");

    QTest::newRow("bound to the install: it replaces the receipt")
        << LeftBehind([](InstallFolder& folder) { return readFile(pendingOf(folder, folder.install)); });
    QTest::newRow("bound to the install through its link: it replaces the receipt")
        << LeftBehind([](InstallFolder& folder) {
               const QString target = folder.dir.filePath("elsewhere/Pelwinter");
               if (!QDir().mkpath(target) || !QDir(folder.install).removeRecursively() ||
                   !QFile::link(target, folder.install))
                   return QByteArray("no link");
               return readFile(pendingOf(folder, target));
           });
    QTest::newRow("bound to the staging folder, which did not become the install: removed")
        << LeftBehind([](InstallFolder& folder) {
               pendingOf(folder, folder.staging);
               return QByteArray();
           });
    QTest::newRow("bound to a staging folder since removed: removed") << LeftBehind([](InstallFolder& folder) {
        pendingOf(folder, folder.staging);
        QDir(folder.staging).removeRecursively();
        return QByteArray();
    });
    QTest::newRow("bound to the install, cut short: removed") << LeftBehind([](InstallFolder& folder) {
        const QString pending = pendingOf(folder, folder.install);
        const QByteArray whole = readFile(pending);
        writeFile(pending, whole.left(whole.size() - 2));
        return QByteArray();
    });
    // what a power cut can leave of a file whose size reached the disk before its data
    QTest::newRow("bound to the install, its end zeros: removed") << LeftBehind([](InstallFolder& folder) {
        const QString pending = pendingOf(folder, folder.install);
        writeFile(pending, readFile(pending) + QByteArray(64, '\0'));
        return QByteArray();
    });
    QTest::newRow("the install's inode on another device, bound in an earlier boot: it replaces the receipt")
        << LeftBehind([](InstallFolder& folder) {
               const QString pending = pendingOf(folder, folder.install);
               rebind(pending, [](QJsonObject& identity) {
                   identity["device"] = QString::number(identity["device"].toString().toULongLong() + 1);
                   identity["boot"] = "an earlier boot";
               });
               return readFile(pending);
           });
    QTest::newRow("the install's inode on another device, bound in this boot: removed")
        << LeftBehind([](InstallFolder& folder) {
               rebind(pendingOf(folder, folder.install), [](QJsonObject& identity) {
                   identity["device"] = QString::number(identity["device"].toString().toULongLong() + 1);
               });
               return QByteArray();
           });
    QTest::newRow("the install's device, another inode: removed") << LeftBehind([](InstallFolder& folder) {
        rebind(pendingOf(folder, folder.install), [](QJsonObject& identity) {
            identity["inode"] = QString::number(identity["inode"].toString().toULongLong() + 1);
            identity["boot"] = "an earlier boot";
        });
        return QByteArray();
    });
    QTest::newRow("bound as numbers, not text: removed") << LeftBehind([](InstallFolder& folder) {
        rebind(pendingOf(folder, folder.install), [](QJsonObject& identity) {
            identity["device"] = identity["device"].toString().toDouble();
            identity["inode"] = identity["inode"].toString().toDouble();
        });
        return QByteArray();
    });
    QTest::newRow("a save of the receipt, bound to nothing: removed") << LeftBehind([](InstallFolder& folder) {
        writeFile(LauncherTemporaries::pathBeside(folder.receipt, "receipt"), R"({"version": "1.1"})");
        return QByteArray();
    });
    QTest::newRow("one bound to the install among others: it replaces the receipt, the others go")
        << LeftBehind([](InstallFolder& folder) {
               pendingOf(folder, folder.staging);
               writeFile(LauncherTemporaries::pathBeside(folder.receipt, "receipt"), "{\"version\": \"1.");
               const QByteArray bound = readFile(pendingOf(folder, folder.install));
               pendingOf(folder, folder.staging);
               return bound;
           });
}

// At start the receipt temporary bound to the install folder replaces the receipt, whatever else a run
// cut short left beside it; where none is, the receipt stays as it was. No temporary of the receipt is
// left either way.
void TestInstallReceipt::startTakesTheReceiptBoundToTheInstall()
{
    QFETCH(LeftBehind, leftBehind);
    InstallFolder folder;
    QVERIFY(QDir().mkpath(folder.install) && QDir().mkpath(folder.staging));
    // a receipt of the earlier format: no binding
    const QByteArray old = R"({"version": "1.0", "branch": "main", "gameFiles": []})";
    QVERIFY(writeFile(folder.receipt, old));
    const QString otherInstall = folder.dir.filePath("other.json.pelwinter-launcher-3k9x2.receipt");
    QVERIFY(writeFile(otherInstall, readFile(pendingOf(folder, folder.install))));
    QVERIFY(QFile::remove(folder.dir.filePath(receiptTemporaries(folder.dir.path()).value(0))));
    const QByteArray taken = leftBehind(folder);

    settleInstallReceipt(folder.receipt, folder.install);

    QCOMPARE(readFile(folder.receipt), taken.isEmpty() ? old : taken);
    QCOMPARE(receiptTemporaries(folder.dir.path()), QStringList());
    QVERIFY(QFileInfo::exists(otherInstall));
    if (!taken.isEmpty())
        QCOMPARE(readInstallReceipt(folder.receipt).receipt.value("version").toString(), QString("1.1"));
}

// The road of a swap through these functions: written ahead, the receipt changes nothing until the staging
// folder is the install; published, it is the receipt, and a start afterwards leaves it alone.
void TestInstallReceipt::receiptWrittenAheadIsTakenOnlyOnceInPlace()
{
    InstallFolder folder;
    QVERIFY(QDir().mkpath(folder.install) && QDir().mkpath(folder.staging));
    const QByteArray old = R"({"version": "1.0"})";
    QVERIFY(writeFile(folder.receipt, old));
    QJsonObject next{{"version", "1.1"}, {"branch", "main"}};
    const QString pending = writePendingInstallReceipt(folder.receipt, next, folder.staging);
    QVERIFY(!pending.isEmpty());
    QCOMPARE(QJsonDocument::fromJson(readFile(pending)).object(), next);
    QVERIFY(next.contains("installFolderIdentity"));
    QCOMPARE(readFile(folder.receipt), old);

    // cut short before the swap: the old install is in place, the receipt stays
    const QByteArray content = readFile(pending);
    settleInstallReceipt(folder.receipt, folder.install);
    QCOMPARE(readFile(folder.receipt), old);
    QVERIFY(!QFileInfo::exists(pending));

    // cut short after the swap: the staging folder is the install, its receipt replaces the old one
    QVERIFY(writeFile(pending, content));
    QVERIFY(QDir(folder.install).removeRecursively());
    QVERIFY(QDir().rename(folder.staging, folder.install));
    settleInstallReceipt(folder.receipt, folder.install);
    QCOMPARE(readFile(folder.receipt), content);
    QVERIFY(!QFileInfo::exists(pending));

    // published: the receipt, known to the run that wrote it; the next start leaves it as it is
    QJsonObject again{{"version", "1.2"}};
    QVERIFY(QDir().mkpath(folder.staging));
    const QString second = writePendingInstallReceipt(folder.receipt, again, folder.staging);
    QVERIFY(QDir(folder.install).removeRecursively() && QDir().rename(folder.staging, folder.install));
    StoredInstallReceipt stored;
    QVERIFY(publishPendingInstallReceipt(second, folder.receipt, again, folder.install, stored));
    QVERIFY(stored.known);
    QVERIFY(!QFileInfo::exists(second));
    const QByteArray published = readFile(folder.receipt);
    QCOMPARE(QJsonDocument::fromJson(published).object(), again);
    const Stamp stamp = stampOf(folder.receipt);
    settleInstallReceipt(folder.receipt, folder.install);
    QVERIFY(stampOf(folder.receipt) == stamp);
    QVERIFY(writeInstallReceipt(folder.receipt, again, stored));
    QVERIFY(stampOf(folder.receipt) == stamp);
    QCOMPARE(readFile(folder.receipt), published);
}

QTEST_GUILESS_MAIN(TestInstallReceipt)
#include "TestInstallReceipt.moc"
