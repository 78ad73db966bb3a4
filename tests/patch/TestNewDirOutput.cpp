// The new-directory output: the order in which the path walk calls the listener, how writes are split
// at file ends, how the walk ends, and the copy routine for unchanged files.

#include "patch/dir/file_copy.h"
#include "patch/dir/new_dir_output.h"
#include "patch/drivers/dir_patch_driver.h"
#include "patch/os/file_services.h"
#include "support/Files.h"
#include "support/StderrCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

namespace
{
// Records every listener call as one text, and writes real files through the engine's services.
struct EventListener
{
    TDirPatchListener base;
    QString root;
    QStringList events;
};

EventListener* events(TDirPatchListener* listener)
{
    return reinterpret_cast<EventListener*>(listener);
}

QString relative(TDirPatchListener* listener, const char* path)
{
    return QString::fromUtf8(path).mid(events(listener)->root.size());
}

void addProgress(TDirPatchListener* listener, dpatch_StreamPos_t bytes)
{
    events(listener)->events << QString("progress %1").arg(bytes);
}

BOOL makeNewDir(TDirPatchListener* listener, const char* pathName)
{
    events(listener)->events << "dir " + relative(listener, pathName);
    return dpatch_makeDir(pathName);
}

BOOL copySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                  dpatch_TCopyListener* copyListener)
{
    events(listener)->events << "copy " + QString::fromUtf8(oldFileName).section('/', -1) + " to " +
                                    relative(listener, newFileName);
    return dpatch_copyFile(oldFileName, newFileName, copyListener);
}

BOOL openNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
                 dpatch_StreamPos_t fileSize)
{
    events(listener)->events << QString("open %1 %2").arg(relative(listener, newFileName)).arg(fileSize);
    return dpatch_TFileStreamOutput_open(curNewFile, newFileName, fileSize);
}

BOOL closeNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile)
{
    events(listener)->events << "close";
    return dpatch_TFileStreamOutput_close(curNewFile);
}

const char* oldPathOf(dpatch_TOldPathListener* listener, size_t oldIndex)
{
    static QByteArray path;
    path = *static_cast<QByteArray*>(listener->listenerOwner) + "/old" + QByteArray::number(qulonglong(oldIndex));
    return path.constData();
}

// A new side set up as the directory patcher sets it up, over lists given by the test.
struct NewSide
{
    QTemporaryDir dir;
    QByteArray root;
    QByteArray oldRoot;
    std::vector<QByteArray> pathTexts;
    std::vector<const char*> paths;
    std::vector<size_t> refList;
    std::vector<dpatch_StreamPos_t> refSizes;
    std::vector<dpatch_TSameFilePair> pairs;
    std::vector<size_t> executeList;
    char pathBuf[2048];
    TNewDir newDir;
    EventListener listener;
    const dpatch_TStreamOutput* stream = nullptr;

    NewSide(const QList<QByteArray>& newPaths, const QList<QPair<size_t, dpatch_StreamPos_t>>& refs,
            const QList<QPair<size_t, size_t>>& samePairs)
    {
        root = dir.path().toUtf8() + "/new/";
        oldRoot = dir.path().toUtf8();
        for (const QByteArray& path : newPaths)
            pathTexts.push_back(path);
        for (const QByteArray& text : pathTexts)
            paths.push_back(text.constData());
        dpatch_StreamPos_t newDataSize = 0;
        for (const auto& ref : refs) {
            refList.push_back(ref.first);
            refSizes.push_back(ref.second);
            newDataSize += ref.second;
        }
        for (const auto& pair : samePairs)
            pairs.push_back({pair.first, pair.second});
        memset(&newDir, 0, sizeof(newDir));
        newDir.newUtf8PathList = paths.data();
        newDir.newRefList = refList.data();
        newDir.newRefSizeList = refSizes.data();
        newDir.dataSamePairList = pairs.data();
        newDir.newExecuteList = executeList.data();
        newDir.newDataSize = newDataSize;
        newDir.newPathCount = paths.size();
        newDir.newRefFileCount = refList.size();
        newDir.sameFilePairCount = pairs.size();
        newDir._oldPathListener.listenerOwner = &oldRoot;
        newDir._oldPathListener.getOldPathByIndex = oldPathOf;
        newDir._newPathBuf = pathBuf;
        newDir._newPathBufEnd = pathBuf + sizeof(pathBuf);
        newDir._newRootDir_end = setDirPath(pathBuf, pathBuf + sizeof(pathBuf), root.constData());
        listener.base = TDirPatchListener{nullptr,     nullptr,      nullptr, addProgress, makeNewDir, copySameFile,
                                          openNewFile, closeNewFile, nullptr, nullptr,     nullptr};
        listener.root = QString::fromUtf8(root);
    }

    bool writeOldFile(size_t oldIndex, const QByteArray& content)
    {
        return writeFile(QString::fromUtf8(oldRoot) + "/old" + QString::number(oldIndex), content);
    }

    BOOL write(dpatch_StreamPos_t pos, const QByteArray& data)
    {
        return stream->write(stream, pos, (const dpatch_byte*)data.constData(),
                             (const dpatch_byte*)data.constData() + data.size());
    }

    QByteArray newFile(const QString& relativePath)
    {
        QFile file(QString::fromUtf8(root) + relativePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
};

struct ByteCollector
{
    dpatch_TCopyListener base;
    QByteArray bytes;
    QList<int> pieces;
};

void collect(dpatch_TCopyListener* listener, const dpatch_byte* data, const dpatch_byte* data_end)
{
    ByteCollector* self = reinterpret_cast<ByteCollector*>(listener);
    self->bytes.append((const char*)data, data_end - data);
    self->pieces << int(data_end - data);
}
} // namespace

class TestNewDirOutput : public QObject
{
    Q_OBJECT
private slots:
    void walkCallsListenerInPathOrder();
    void writeSpanningTwoFiles();
    void writeBehindTheCurrentFileFails();
    void emptyReferenceFilesTakeNoBytes();
    void directoryWithoutDataIsCompleteAtOpen();
    void pairOnAReferencePathFailsAtTheEnd();
    void copyFile_data();
    void copyFile();
    void copyToFullDiskFails();
    void readFileToListener();
};

void TestNewDirOutput::walkCallsListenerInPathOrder()
{
    NewSide side({"", "a/", "a/b", "a/c"}, {{2, 3}}, {{3, 0}});
    QVERIFY(side.writeOldFile(0, "old file"));
    QVERIFY(TNewDir_open(&side.newDir, &side.listener.base, 1, &side.stream));
    QCOMPARE(side.listener.events, QStringList({"dir ", "dir a/", "open a/b 3"}));
    QVERIFY(side.write(0, "xyz"));
    QCOMPARE(side.listener.events,
             QStringList({"dir ", "dir a/", "open a/b 3", "progress 3", "close", "copy old0 to a/c"}));
    QVERIFY(side.newDir._newDirStream.isFinish);
    QCOMPARE(side.newFile("a/b"), QByteArray("xyz"));
    QCOMPARE(side.newFile("a/c"), QByteArray("old file"));
    QVERIFY(TNewDir_close(&side.newDir));
    QVERIFY(TNewDir_close(&side.newDir));
    QVERIFY(!TNewDir_getNewPathRoot(&side.newDir)); // the new path buffer is forgotten
}

void TestNewDirOutput::writeSpanningTwoFiles()
{
    NewSide side({"", "one", "d/", "two"}, {{1, 4}, {3, 5}}, {});
    QVERIFY(TNewDir_open(&side.newDir, &side.listener.base, 1, &side.stream));
    QVERIFY(side.write(0, "ab"));
    QVERIFY(side.write(2, "cdEFGHI"));
    QCOMPARE(side.listener.events,
             QStringList({"dir ", "open one 4", "progress 2", "progress 7", "close", "dir d/", "open two 5", "close"}));
    QCOMPARE(side.newFile("one"), QByteArray("abcd"));
    QCOMPARE(side.newFile("two"), QByteArray("EFGHI"));
    QVERIFY(TNewDir_close(&side.newDir));
}

void TestNewDirOutput::writeBehindTheCurrentFileFails()
{
    // bytes for a file already closed can't be written anywhere; taking them silently would lose them
    NewSide side({"", "one", "two"}, {{1, 2}, {2, 2}}, {});
    QVERIFY(TNewDir_open(&side.newDir, &side.listener.base, 1, &side.stream));
    QVERIFY(side.write(0, "ab"));
    StderrCapture capture;
    QVERIFY(!side.write(0, "cd"));
    QVERIFY(capture.take().contains("check _file_append_part(self,writeToPos,data,data+writeLen) error!"));
    QVERIFY(TNewDir_close(&side.newDir));
}

void TestNewDirOutput::emptyReferenceFilesTakeNoBytes()
{
    // a reference file of size 0 becomes an empty file, or a directory when its path ends in '/'
    NewSide side({"", "empty", "sub/", "data"}, {{1, 0}, {2, 0}, {3, 2}}, {});
    QVERIFY(TNewDir_open(&side.newDir, &side.listener.base, 1, &side.stream));
    QCOMPARE(side.listener.events, QStringList({"dir ", "open empty 0", "close", "dir sub/", "open data 2"}));
    QVERIFY(side.write(0, "hi"));
    QCOMPARE(side.newFile("empty"), QByteArray());
    QVERIFY(QFileInfo(QString::fromUtf8(side.root) + "sub").isDir());
    QVERIFY(TNewDir_close(&side.newDir));
}

void TestNewDirOutput::directoryWithoutDataIsCompleteAtOpen()
{
    NewSide side({"", "x/", "x/empty"}, {}, {});
    QVERIFY(TNewDir_open(&side.newDir, &side.listener.base, 1, &side.stream));
    QVERIFY(side.newDir._newDirStream.isFinish);
    StderrCapture capture;
    QVERIFY(!side.write(0, "late"));
    QVERIFY(capture.take().split('\n').contains("check !self->isFinish error!"));
    QVERIFY(TNewDir_close(&side.newDir));
}

void TestNewDirOutput::pairOnAReferencePathFailsAtTheEnd()
{
    NewSide side({"", "f"}, {{1, 1}}, {{1, 0}});
    QVERIFY(side.writeOldFile(0, "o"));
    QVERIFY(TNewDir_open(&side.newDir, &side.listener.base, 1, &side.stream));
    StderrCapture capture;
    QVERIFY(!side.write(0, "n"));
    const QList<QByteArray> lines = capture.take().split('\n');
    QVERIFY(lines.contains("check self->_curSamePairIndex==self->_samePairCount error!"));
    QVERIFY(lines.contains("check _file_entry_end(self) error!"));
    QVERIFY(TNewDir_close(&side.newDir));
}

void TestNewDirOutput::copyFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("exactly one buffer") << QByteArray(int(dpatch_kCopyBufferSize), 'b');
    QTest::newRow("three buffers and a bit") << QByteArray(3 * int(dpatch_kCopyBufferSize) + 5, 'c');
}

void TestNewDirOutput::copyFile()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QByteArray oldPath = (dir.path() + "/old").toUtf8();
    const QByteArray newPath = (dir.path() + "/new").toUtf8();
    QVERIFY(writeFile(QString::fromUtf8(oldPath), content));
    ByteCollector collector;
    collector.base = {&collector, collect};
    QVERIFY(dpatch_copyFile(oldPath.constData(), newPath.constData(), &collector.base));
    QFile copy(QString::fromUtf8(newPath));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), content);
    QCOMPARE(collector.bytes, content);
    for (int piece : collector.pieces)
        QVERIFY(piece > 0 && piece <= int(dpatch_kCopyBufferSize));

    StderrCapture capture;
    QVERIFY(!dpatch_copyFile(oldPath.constData(), nullptr, nullptr));
    QVERIFY(capture.take().contains("check newFileName_utf8!=0 error!"));
    QVERIFY(!dpatch_copyFile((dir.path() + "/missing").toUtf8().constData(), newPath.constData(), nullptr));
}

void TestNewDirOutput::copyToFullDiskFails()
{
    // the write that completes the copy pushes it out, so the full disk fails that write: the copy must not
    // count as done
    if (!QFileInfo::exists("/dev/full"))
        QSKIP("no /dev/full here");
    QTemporaryDir dir;
    const QString oldPath = dir.path() + "/old";
    QVERIFY(writeFile(oldPath, QByteArray(100, 'd')));
    StderrCapture capture;
    QVERIFY(!dpatch_copyFile(oldPath.toUtf8().constData(), "/dev/full", nullptr));
    QVERIFY(
        capture.take().contains("check newFile.base.write(&newFile.base,pos,temp_cache,temp_cache+copyLen) error!"));
}

void TestNewDirOutput::readFileToListener()
{
    QTemporaryDir dir;
    const QString oldPath = dir.path() + "/old";
    const int size = int(dpatch_kCopyBufferSize) + 3616;
    QVERIFY(writeFile(oldPath, QByteArray(size, 'r')));
    ByteCollector collector;
    collector.base = {&collector, collect};
    QVERIFY(dpatch_readFileToListener(oldPath.toUtf8().constData(), &collector.base));
    QCOMPARE(collector.bytes, QByteArray(size, 'r'));
    QCOMPARE(collector.pieces, QList<int>({int(dpatch_kCopyBufferSize), 3616}));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"old"}));
}

QTEST_GUILESS_MAIN(TestNewDirOutput)
#include "TestNewDirOutput.moc"
