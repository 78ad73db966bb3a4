// runFilePatch on real files: one table of runs, each checking the result code, the error lines and the
// new file. The diff may sit inside a larger file (the window a self-extracting archive uses).

#include "patch/drivers/dir_patch_result.h"
#include "patch/drivers/file_patch_driver.h"
#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/PatchWriter.h"
#include "support/StderrCapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

namespace
{
struct Window
{
    qint64 prefix = 0; // bytes in front of the diff; 0: no window
    qint64 suffix = 0;
    qint64 offset = -1; // overrides the offset passed when not -1
    qint64 size = -1;   // overrides the size passed when not -1
};
} // namespace

Q_DECLARE_METATYPE(Window)

class TestFilePatch : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void TestFilePatch::run_data()
{
    QTest::addColumn<QByteArray>("oldData");
    QTest::addColumn<QByteArray>("newData");
    QTest::addColumn<QByteArray>("diff");
    QTest::addColumn<bool>("emptyOldPath");
    QTest::addColumn<Window>("window");
    QTest::addColumn<QString>("outName");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QByteArray>("expectedError");

    const PatchCase c = PatchWriter::randomCase(41, 40000, 50000, 20);
    const QByteArray stored = PatchWriter::compressedDiff(c).bytes();
    const QByteArray zstd = PatchWriter::compressedDiff(c, PatchWriter::kAllSectionsCompressed).bytes();
    const QString out = "new.bin";
    QTest::newRow("stored sections") << c.oldData << c.newData << stored << false << Window() << out << 0
                                     << QByteArray();
    QTest::newRow("zstd sections") << c.oldData << c.newData << zstd << false << Window() << out << 0 << QByteArray();
    QTest::newRow("diff in a window of a larger file")
        << c.oldData << c.newData << zstd << false << Window{1000, 77} << out << 0 << QByteArray();

    PatchCase fromNothing;
    fromNothing.newData = "made from the diff alone";
    const QByteArray fromNothingDiff = PatchWriter::compressedDiff(fromNothing).bytes();
    QTest::newRow("empty old path, old size 0")
        << QByteArray() << fromNothing.newData << fromNothingDiff << true << Window() << out << 0 << QByteArray();
    QTest::newRow("empty old path, old size not 0")
        << QByteArray() << QByteArray() << stored << true << Window() << out << int(DPATCH_FILEDATA_ERROR)
        << QByteArray("oldFile dataSize 0 != diffFile saved oldDataSize 40000 ERROR!\n");
    QTest::newRow("old file one byte short")
        << c.oldData.chopped(1) << QByteArray() << stored << false << Window() << out << int(DPATCH_FILEDATA_ERROR)
        << QByteArray("oldFile dataSize 39999 != diffFile saved oldDataSize 40000 ERROR!\n");

    PatchWriter::CompressedDiff unknownType = PatchWriter::compressedDiff(c, PatchWriter::kAllSectionsCompressed);
    unknownType.compressType = "lzma";
    QTest::newRow("unknown compressor for compressed sections")
        << c.oldData << QByteArray() << unknownType.bytes() << false << Window() << out
        << int(DPATCH_COMPRESSTYPE_ERROR) << QByteArray("can not decompress \"lzma\" data ERROR!\n");
    PatchWriter::CompressedDiff uselessTag = PatchWriter::compressedDiff(c);
    uselessTag.compressType = "lzma";
    QTest::newRow("compress tag without compressed sections")
        << c.oldData << c.newData << uselessTag.bytes() << false << Window() << out << 0 << QByteArray();
    PatchWriter::CompressedDiff noType = PatchWriter::compressedDiff(c, PatchWriter::kAllSectionsCompressed);
    noType.compressType = "";
    QTest::newRow("compressed sections without a type")
        << c.oldData << QByteArray() << noType.bytes() << false << Window() << out << int(DPATCH_COMPRESSTYPE_ERROR)
        << QByteArray("can not decompress \"\" data ERROR!\n");

    PatchWriter::CompressedDiff shortSection = PatchWriter::compressedDiff(c);
    shortSection.sections[PatchWriter::NewDataSection].chop(1);
    QTest::newRow("section shorter than its head says")
        << c.oldData << QByteArray() << shortSection.bytes() << false << Window() << out << int(DPATCH_PATCH_ERROR)
        << QByteArray("patch run ERROR!\n");

    QTest::newRow("not a diff") << c.oldData << QByteArray() << QByteArray("plain text") << false << Window() << out
                                << int(DPATCH_DIFFINFO_ERROR)
                                << QByteArray("is diff file? getCompressedDiffInfo() ERROR!\n");
    DirDiff dirDiff;
    dirDiff.cdiff = PatchWriter::compressedDiff(PatchCase()).bytes();
    dirDiff.updateHead();
    QTest::newRow("a directory diff") << QByteArray() << QByteArray() << dirDiff.toBytes() << true << Window() << out
                                      << int(DPATCH_DIFFINFO_ERROR)
                                      << QByteArray("is diff file? getCompressedDiffInfo() ERROR!\n");

    QTest::newRow("window offset past the end")
        << c.oldData << QByteArray() << stored << false << Window{10, 0, 1 << 30, -1} << out
        << int(DPATCH_SFX_DIFFDATA_ERROR) << QByteArray("readed sfx diffFile offset ERROR!\n");
    QTest::newRow("window size past the end")
        << c.oldData << QByteArray() << stored << false << Window{10, 0, -1, stored.size() + 1} << out
        << int(DPATCH_SFX_DIFFDATA_ERROR) << QByteArray("readed sfx diffFile size ERROR!\n");
    QTest::newRow("window size near 2^64")
        << c.oldData << QByteArray() << stored << false << Window{10, 0, -1, -2} << out
        << int(DPATCH_SFX_DIFFDATA_ERROR) << QByteArray("readed sfx diffFile size ERROR!\n");

    QTest::newRow("new file can't be created")
        << c.oldData << QByteArray() << stored << false << Window() << QString("missing/new.bin")
        << int(DPATCH_OPENWRITE_ERROR) << QByteArray("open out newFile for write ERROR!\n");
    QTest::newRow("new file can't be written")
        << c.oldData << QByteArray() << stored << false << Window() << QString("/dev/full")
        << int(DPATCH_FILEWRITE_ERROR) << QByteArray("out newFile write ERROR!\n");
}

void TestFilePatch::run()
{
    QFETCH(QByteArray, oldData);
    QFETCH(QByteArray, newData);
    QFETCH(QByteArray, diff);
    QFETCH(bool, emptyOldPath);
    QFETCH(Window, window);
    QFETCH(QString, outName);
    QFETCH(int, expectedCode);
    QFETCH(QByteArray, expectedError);

    QTemporaryDir sandbox;
    QVERIFY(sandbox.isValid());
    const QString oldPath = sandbox.filePath("old.bin");
    const QString diffPath = sandbox.filePath("patch.diff");
    const QString outPath = outName.startsWith('/') ? outName : sandbox.filePath(outName);
    QVERIFY(writeFile(oldPath, oldData));
    QVERIFY(writeFile(diffPath, QByteArray(window.prefix, 'p') + diff + QByteArray(window.suffix, 's')));
    const quint64 offset = window.offset != -1 ? quint64(window.offset) : quint64(window.prefix);
    const quint64 size = window.size != -1 ? quint64(window.size) : quint64(diff.size());

    StderrCapture capture;
    const int code = runFilePatch(emptyOldPath ? "" : oldPath.toUtf8().constData(), diffPath.toUtf8().constData(),
                                  outPath.toUtf8().constData(), 0, 64 * 1024, offset, size);
    const QByteArray errors = capture.take();
    QCOMPARE(code, expectedCode);
    QCOMPARE(errors, expectedError);
    if (expectedCode == 0)
        QCOMPARE(readFile(outPath, "<missing>"), newData);
    QCOMPARE(readFile(oldPath, "<missing>"), oldData);
}

QTEST_GUILESS_MAIN(TestFilePatch)
#include "TestFilePatch.moc"
