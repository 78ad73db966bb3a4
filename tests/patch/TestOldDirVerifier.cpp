// TOldDirVerifier fed with a directory diff in pieces: when it wants more bytes, when it stops, and
// its check of an old tree by sizes alone and with a checksum implementation of the test's own.

#include "patch/drivers/old_dir_verifier.h"
#include "patch/os/zstd_decompress_plugin.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/RandomBytes.h"
#include "support/StderrCapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

namespace
{
using Entries = FileTree::Entries;

// A polynomial hash over the bytes, stored little-endian.
quint64 polyHash(quint64 hash, const dpatch_byte* data, const dpatch_byte* end)
{
    for (; data < end; ++data)
        hash = hash * 1099511628211ull + *data + 1;
    return hash;
}

QByteArray polyBytes(const QByteArray& data)
{
    const quint64 hash =
        polyHash(7, (const dpatch_byte*)data.constData(), (const dpatch_byte*)data.constData() + data.size());
    return QByteArray((const char*)&hash, 8);
}

const char* polyType()
{
    return "poly64";
}

size_t polySize()
{
    return 8;
}

dpatch_TChecksumHandle polyOpen(dpatch_TChecksumPlugin*)
{
    return new quint64(0);
}

void polyClose(dpatch_TChecksumPlugin*, dpatch_TChecksumHandle handle)
{
    delete static_cast<quint64*>(handle);
}

void polyBegin(dpatch_TChecksumHandle handle)
{
    *static_cast<quint64*>(handle) = 7;
}

void polyAppend(dpatch_TChecksumHandle handle, const dpatch_byte* data, const dpatch_byte* data_end)
{
    quint64* hash = static_cast<quint64*>(handle);
    *hash = polyHash(*hash, data, data_end);
}

void polyEnd(dpatch_TChecksumHandle handle, dpatch_byte* out, dpatch_byte* out_end)
{
    if (out_end - out == 8)
        memcpy(out, handle, 8);
}

dpatch_TChecksumPlugin polyPlugin = {polyType, polySize, polyOpen, polyClose, polyBegin, polyAppend, polyEnd};

Entries oldTree()
{
    return {{"a.bin", FileTree::file(randomBytes(6000, 11))},
            {"keep.bin", FileTree::file(randomBytes(2000, 12))},
            {"d/", FileTree::dir()},
            {"d/c.bin", FileTree::file(randomBytes(3000, 13))}};
}

Entries newTree()
{
    QByteArray changed = randomBytes(6000, 11);
    changed.replace(100, 5, "fresh");
    return {{"a.bin", FileTree::file(changed + randomBytes(3000, 13).left(500))},
            {"keep.bin", FileTree::file(randomBytes(2000, 12))},
            {"copy.bin", FileTree::file(randomBytes(2000, 12))},
            {"fresh.bin", FileTree::file(randomBytes(3000, 14))}};
}

struct Verifier
{
    TOldDirVerifier v;
    Verifier() { memset(&v, 0, sizeof(v)); }
    ~Verifier() { TOldDirVerifier_close(&v); }

    // Feeds the bytes in pieces of pieceSize until the verifier stops asking, then an empty part if it
    // still asks; returns the bytes used.
    qsizetype feed(const QByteArray& bytes, qsizetype pieceSize, bool* ok)
    {
        *ok = true;
        for (qsizetype at = 0; at < bytes.size(); at += pieceSize) {
            const auto* begin = (const dpatch_byte*)bytes.constData() + at;
            const qsizetype n = qMin(pieceSize, bytes.size() - at);
            BOOL more = 1;
            if (!TOldDirVerifier_append(&v, begin, begin + n, &more)) {
                *ok = false;
                return at + n;
            }
            if (!more)
                return at + n;
        }
        BOOL more = 1;
        *ok = TOldDirVerifier_append(&v, nullptr, nullptr, &more) && !more;
        return bytes.size();
    }
};

struct Sandbox
{
    QTemporaryDir dir;
    QString oldDir = dir.filePath("old");
    QByteArray diff;

    explicit Sandbox(const DirDiffWriter::Options& options = DirDiffWriter::Options())
    {
        FileTree::write(oldDir, oldTree());
        FileTree::write(dir.filePath("new"), newTree());
        diff = DirDiffWriter::build(oldDir, dir.filePath("new"), options).toBytes();
    }
};
} // namespace

class TestOldDirVerifier : public QObject
{
    Q_OBJECT

private slots:
    void acceptsMatchingTreeFedInPieces_data();
    void acceptsMatchingTreeFedInPieces();
    void refusesChangedTree_data();
    void refusesChangedTree();
    void waitsWithoutReadingUpTo944Bytes();
    void emptyPartBeforeDirectoryDataFails();
    void appendAfterCompleteFails();
    void notADirectoryDiff();
};

void TestOldDirVerifier::acceptsMatchingTreeFedInPieces_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<bool>("withChecksums");
    QTest::addColumn<bool>("compressDirData");
    QTest::newRow("pieces of 7 bytes") << 7 << false << false;
    QTest::newRow("pieces of 1000 bytes") << 1000 << false << false;
    QTest::newRow("whole diff at once") << 1 << false << false;
    QTest::newRow("with checksums") << 50 << true << false;
    QTest::newRow("compressed directory data") << 64 << false << true;
}

void TestOldDirVerifier::acceptsMatchingTreeFedInPieces()
{
    QFETCH(int, pieceSize);
    QFETCH(bool, withChecksums);
    QFETCH(bool, compressDirData);
    DirDiffWriter::Options options;
    options.compressDirData = compressDirData;
    if (withChecksums) {
        options.checksumType = "poly64";
        options.checksum = polyBytes;
    }
    Sandbox sandbox(options);
    Verifier verifier;
    bool ok = false;
    const qsizetype size = pieceSize == 1 ? sandbox.diff.size() : pieceSize;
    const qsizetype used = verifier.feed(sandbox.diff, size, &ok);
    QVERIFY(ok);
    QVERIFY(verifier.v._isAppendStoped);
    // it stops once the directory data is in, well before the embedded diff ends
    QVERIFY(pieceSize == 1 || used < sandbox.diff.size());
    QCOMPARE(QByteArray(TOldDirVerifier_getChecksumType(&verifier.v)), QByteArray(withChecksums ? "poly64" : ""));
    const dpatch_TDecompressPlugin* plugin = compressDirData ? &zstdDecompressPlugin : nullptr;
    if (compressDirData)
        QCOMPARE(QByteArray(TOldDirVerifier_getCompressType(&verifier.v)), QByteArray("zstd"));
    StderrCapture capture;
    QVERIFY(TOldDirVerifier_checksum(&verifier.v, plugin, withChecksums ? &polyPlugin : nullptr,
                                     sandbox.oldDir.toUtf8().constData()));
    QCOMPARE(capture.take(), QByteArray());
}

void TestOldDirVerifier::refusesChangedTree_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("withChecksums");
    QTest::addColumn<QByteArray>("firstError");
    const QByteArray sizes = "check sumFileSize==sumFileSizeTest error!\n";
    const QByteArray sums = "check 0==memcmp(checksumTest,checksumTemp,checksumByteSize) error!\n";
    QTest::newRow("reference file resized") << "a.bin" << randomBytes(6001, 11) << false << sizes;
    QTest::newRow("copied file resized") << "keep.bin" << randomBytes(1999, 12) << false << sizes;
    QTest::newRow("reference file changed, same size") << "d/c.bin" << randomBytes(3000, 99) << true << sums;
    QTest::newRow("copied file changed, same size") << "keep.bin" << randomBytes(2000, 98) << true << sums;
    QTest::newRow("reference file missing")
        << "d/c.bin" << QByteArray() << false
        << QByteArray("check dpatch_TFileStreamInput_open(&fileData,fileName) error!\n");
}

void TestOldDirVerifier::refusesChangedTree()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(bool, withChecksums);
    QFETCH(QByteArray, firstError);
    DirDiffWriter::Options options;
    if (withChecksums) {
        options.checksumType = "poly64";
        options.checksum = polyBytes;
    }
    Sandbox sandbox(options);
    const QString path = sandbox.oldDir + "/" + file;
    if (content.isNull()) {
        QVERIFY(QFile::remove(path));
    } else {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    Verifier verifier;
    bool ok = false;
    verifier.feed(sandbox.diff, 333, &ok);
    QVERIFY(ok);
    StderrCapture capture;
    QVERIFY(!TOldDirVerifier_checksum(&verifier.v, nullptr, withChecksums ? &polyPlugin : nullptr,
                                      sandbox.oldDir.toUtf8().constData()));
    const QByteArray errors = capture.take();
    QVERIFY2(errors.startsWith(firstError), errors.constData());
    QVERIFY(errors.endsWith("error!\n"));
    QVERIFY(errors.contains("check _do_checksumFiles(&self->_dirPatcher,"));
}

void TestOldDirVerifier::waitsWithoutReadingUpTo944Bytes()
{
    // Garbage is not looked at while at most 944 bytes are in and every part is non-empty.
    Verifier verifier;
    const QByteArray junk(944, 'j');
    BOOL more = 0;
    QVERIFY(TOldDirVerifier_append(&verifier.v, (const dpatch_byte*)junk.constData(),
                                   (const dpatch_byte*)junk.constData() + junk.size(), &more));
    QCOMPARE(more, 1);
    QVERIFY(!verifier.v._isOpened);
    StderrCapture capture;
    // one more byte makes it read the head, which fails for bytes of no diff
    const dpatch_byte one = 'j';
    QVERIFY(!TOldDirVerifier_append(&verifier.v, &one, &one + 1, &more) || !verifier.v._isOpened);
    capture.take();

    // An empty part forces the attempt on a short prefix of a real diff; no more data will come, so a
    // head cut inside its numbers is refused.
    Sandbox sandbox;
    Verifier shortVerifier;
    QVERIFY(TOldDirVerifier_append(&shortVerifier.v, (const dpatch_byte*)sandbox.diff.constData(),
                                   (const dpatch_byte*)sandbox.diff.constData() + 20, &more));
    QCOMPARE(more, 1);
    QVERIFY(!shortVerifier.v._isOpened);
    StderrCapture shortCapture;
    QVERIFY(!TOldDirVerifier_append(&shortVerifier.v, nullptr, nullptr, &more));
    QVERIFY(shortCapture.take().endsWith("check _read_dirdiff_head(&self->_dirPatcher.dirDiffInfo,"
                                         "&self->_dirPatcher.dirDiffHead, &self->_diffStream,out_isAppendContinue) "
                                         "error!\n"));
}

void TestOldDirVerifier::emptyPartBeforeDirectoryDataFails()
{
    // Many long names make the directory data reach well past the first 945 bytes.
    QTemporaryDir dir;
    Entries tree;
    for (int i = 0; i < 60; ++i)
        tree.insert(QString("a-rather-long-file-name-number-%1.txt").arg(i), FileTree::file(QByteArray::number(i)));
    QVERIFY(FileTree::write(dir.filePath("old"), tree));
    tree.insert("added.txt", FileTree::file("added"));
    QVERIFY(FileTree::write(dir.filePath("new"), tree));
    const QByteArray diff = DirDiffWriter::build(dir.filePath("old"), dir.filePath("new")).toBytes();
    Verifier verifier;
    BOOL more = 0;
    // the head alone, then an empty part: the directory data can't be complete
    const auto* begin = (const dpatch_byte*)diff.constData();
    QVERIFY(TOldDirVerifier_append(&verifier.v, begin, begin + 945, &more));
    QVERIFY(verifier.v._isOpened);
    QCOMPARE(more, 1);
    StderrCapture capture;
    QVERIFY(!TOldDirVerifier_append(&verifier.v, nullptr, nullptr, &more));
    QCOMPARE(capture.take(), QByteArray("check appendSize>0 error!\n"));
}

void TestOldDirVerifier::appendAfterCompleteFails()
{
    Sandbox sandbox;
    Verifier verifier;
    bool ok = false;
    verifier.feed(sandbox.diff, 4096, &ok);
    QVERIFY(ok && verifier.v._isAppendStoped);
    StderrCapture capture;
    BOOL more = 0;
    const dpatch_byte one = 0;
    QVERIFY(!TOldDirVerifier_append(&verifier.v, &one, &one + 1, &more));
    QCOMPARE(capture.take(), QByteArray("check (!self->_isOpened)||(!self->_isAppendStoped) error!\n"));
    // and a check before completion is refused
    Verifier early;
    QVERIFY(!TOldDirVerifier_checksum(&early.v, nullptr, nullptr, sandbox.oldDir.toUtf8().constData()));
    QCOMPARE(capture.take(), QByteArray("check self->_isOpened&&self->_isAppendStoped error!\n"));
}

void TestOldDirVerifier::notADirectoryDiff()
{
    QByteArray other = "HDIFF13&";
    other += QByteArray(2000, '\0');
    Verifier verifier;
    BOOL more = 0;
    StderrCapture capture;
    QVERIFY(!TOldDirVerifier_append(&verifier.v, (const dpatch_byte*)other.constData(),
                                    (const dpatch_byte*)other.constData() + other.size(), &more));
    QCOMPARE(capture.take(), QByteArray("check self->_dirPatcher.dirDiffInfo.isDirDiff error!\n"));
}

QTEST_GUILESS_MAIN(TestOldDirVerifier)
#include "TestOldDirVerifier.moc"
