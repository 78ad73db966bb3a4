// The dirpatch program run as a real process: its option table, usage and error texts, result codes,
// file, directory and in-place patches, and self-extracting archives built from it and from a small
// stand-in executable.

#include "support/DirDiffWriter.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/PatchWriter.h"
#include "support/RandomBytes.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace
{
using Entries = FileTree::Entries;

const QByteArray kMarker = QByteArray::fromHex("fd6c3a9d14984a5da9d57303a82fd08e");

struct Result
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Result runProgram(const QString& program, const QStringList& args, const QString& workDir = QString())
{
    QProcess process;
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    process.start(program, args);
    Result result;
    if (!process.waitForFinished(60000))
        return result;
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

Result dirpatch(const QStringList& args, const QString& workDir = QString())
{
    return runProgram(DIRPATCH_BINARY, args, workDir);
}

// Runs dirpatch as a child of a small Python process that reports its peak resident memory (KiB):
// a child forked from this test process would count the test's own pages until it runs dirpatch.
struct MeasuredRun
{
    int code = -1;
    long peakKiB = -1;
};

MeasuredRun dirpatchMeasured(const QStringList& args)
{
    const QString script = "import resource, subprocess, sys\n"
                           "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
                           "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n";
    const Result result = runProgram("python3", QStringList{"-c", script, DIRPATCH_BINARY} + args);
    const QList<QByteArray> fields = result.out.trimmed().split(' ');
    MeasuredRun run;
    if (result.code == 0 && fields.size() == 2) {
        run.code = fields[0].toInt();
        run.peakKiB = fields[1].toLong();
    }
    return run;
}

Entries oldTree()
{
    return {{"a.bin", FileTree::file(randomBytes(8000, 1))},
            {"same.txt", FileTree::file("unchanged text")},
            {"old-only/", FileTree::dir()},
            {"old-only/x", FileTree::file("x")}};
}

Entries newTree()
{
    QByteArray a = randomBytes(8000, 1);
    a.replace(500, 6, "CHANGE");
    return {{"a.bin", FileTree::file(a + "tail")},
            {"same.txt", FileTree::file("unchanged text")},
            {"bin/", FileTree::dir()},
            {"bin/tool", FileTree::file("#!/bin/sh\n", true)}};
}

// The trees and diffs every row may use, under one sandbox.
struct Fixture
{
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

    Fixture()
    {
        FileTree::write(path("old"), oldTree());
        FileTree::write(path("wanted"), newTree());
        DirDiffWriter::build(path("old"), path("wanted")).save(path("dir.diff"));
        PatchCase c = PatchWriter::randomCase(5, 5000, 6000, 10);
        writeFile(path("old.bin"), c.oldData);
        writeFile(path("new.bin.expected"), c.newData);
        writeFile(path("file.diff"), PatchWriter::compressedDiff(c, PatchWriter::kAllSectionsCompressed).bytes());
        PatchCase fromNothing;
        fromNothing.newData = "from nothing";
        writeFile(path("empty.diff"), PatchWriter::compressedDiff(fromNothing).bytes());
        writeFile(path("plain.txt"), "no diff at all");
        DirDiffWriter::Options checked;
        checked.checksumType = "sum8";
        checked.checksum = [](const QByteArray& data) {
            char sum = 0;
            for (char ch : data)
                sum = char(sum + ch);
            return QByteArray(1, sum);
        };
        DirDiffWriter::build(path("old"), path("wanted"), checked).save(path("checked.diff"));
    }

    QString p(const QString& arg) const { return arg.startsWith('@') ? path(arg.mid(1)) : arg; }
};
} // namespace

class TestDirpatchCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void helpAndVersion();
    void options_data();
    void options();
    void inPlaceDirectory();
    void failedInPlaceDirectoryLeavesOldTree();
    void inPlaceFile();
    void inPlaceUnderOtherSpellings_data();
    void inPlaceUnderOtherSpellings();
    void overlappingTreesRefused_data();
    void overlappingTreesRefused();
    void inPlaceRefusesLinks_data();
    void inPlaceRefusesLinks();
    void directoryDataBombKeepsMemory_data();
    void directoryDataBombKeepsMemory();
    void directoryDataWithinCacheBudget_data();
    void directoryDataWithinCacheBudget();
    void archiveRunsWithoutArguments();
    void archiveMarkerAcrossChunkBoundary();
    void archiveRefusals();
    void archiveStartedThroughSearchPath();
};

void TestDirpatchCommandLine::helpAndVersion()
{
    const Result version = dirpatch({"-v"});
    QCOMPARE(version.code, 0);
    QVERIFY(version.out.endsWith("\n\n"));
    QCOMPARE(version.out.count('\n'), 2);
    const Result help = dirpatch({"-h"});
    QCOMPARE(help.code, 0);
    QCOMPARE(help.err, QByteArray());
    QVERIFY(help.out.startsWith(version.out + "patch usage: dirpatch [options] oldPath diffFile outNewPath\n"
                                              "create  SFX: dirpatch [-X-exe#selfExecuteFile] diffFile "
                                              "-X#outSelfExtractArchive\n"));
    QVERIFY(help.out.contains("\n  -s[-cacheSize] \n"));
    QVERIFY(help.out.endsWith("  -h or -?\n      output Help info (this usage).\n  -v  output Version info.\n\n"));
    QCOMPARE(dirpatch({"-?"}).out, help.out);
    // no arguments: the count error, then banner and usage
    const Result none = dirpatch({});
    QCOMPARE(none.code, 1);
    QCOMPARE(none.err, QByteArray("options input count ERROR!\n\n"));
    QCOMPARE(none.out, help.out);
}

void TestDirpatchCommandLine::options_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("err");

    const QStringList patch = {"@old.bin", "@file.diff", "@new.bin"};
    auto with = [&](QStringList options) { return options + patch; };
    QTest::newRow("-m -s") << with({"-m", "-s"}) << 1 << QByteArray("options -s ERROR!\n\n");
    QTest::newRow("-s -m") << with({"-s", "-m"}) << 1 << QByteArray("options -m ERROR!\n\n");
    QTest::newRow("-s twice") << with({"-s-1m", "-s"}) << 1 << QByteArray("options -s ERROR!\n\n");
    QTest::newRow("-sx") << with({"-sx"}) << 1 << QByteArray("options -s ERROR!\n\n");
    QTest::newRow("-s-256k") << with({"-s-256k"}) << 0 << QByteArray();
    QTest::newRow("-s-2g") << with({"-s-2G"}) << 0 << QByteArray();
    QTest::newRow("-s-0") << with({"-s-0"}) << 0 << QByteArray();
    QTest::newRow("-s-01: leading zero") << with({"-s-01"}) << 1 << QByteArray("options -s-? ERROR!\n\n");
    QTest::newRow("-s-k: suffix alone") << with({"-s-k"}) << 1 << QByteArray("options -s-? ERROR!\n\n");
    QTest::newRow("-s-1kk") << with({"-s-1kk"}) << 1 << QByteArray("options -s-? ERROR!\n\n");
    QTest::newRow("-s-: wraps 64 bits") << with({"-s-18446744073709551616"}) << 1
                                        << QByteArray("options -s-? ERROR!\n\n");
    QTest::newRow("-s-: g suffix past 2^64") << with({"-s-17179869184g"}) << 1 << QByteArray("options -s-? ERROR!\n\n");
    QTest::newRow("-m") << with({"-m"}) << 0 << QByteArray();
    QTest::newRow("-m2") << with({"-m2"}) << 1 << QByteArray("options -m ERROR!\n\n");
    QTest::newRow("-n-4") << with({"-n-4"}) << 0 << QByteArray();
    QTest::newRow("-n-100") << with({"-n-100"}) << 0 << QByteArray();
    QTest::newRow("-n4") << with({"-n4"}) << 1 << QByteArray("options -n-? ERROR!\n\n");
    QTest::newRow("-n- twice") << with({"-n-9", "-n-9"}) << 1 << QByteArray("options -n-? ERROR!\n\n");
    QTest::newRow("-n-x") << with({"-n-x"}) << 1 << QByteArray("options -n-? ERROR!\n\n");
    QTest::newRow("-C-new-: empty token") << with({"-C-new-"}) << 1 << QByteArray("options -C-? ERROR!\n\n");
    QTest::newRow("-C-: no token") << with({"-C-"}) << 1 << QByteArray("options -C-? ERROR!\n\n");
    QTest::newRow("-C-old-copy") << with({"-C-old-copy"}) << 0 << QByteArray();
    QTest::newRow("-C-md5") << with({"-C-md5"}) << 1 << QByteArray("options -C-? ERROR!\n\n");
    QTest::newRow("-C twice, last wins") << with({"-C-all", "-C-no"}) << 0 << QByteArray();
    QTest::newRow("-hh") << with({"-hh"}) << 1 << QByteArray("options -h ERROR!\n\n");
    QTest::newRow("-h twice") << with({"-h", "-?"}) << 1 << QByteArray("options -h ERROR!\n\n");
    QTest::newRow("-vv") << with({"-vv"}) << 1 << QByteArray("options -v ERROR!\n\n");
    QTest::newRow("-f twice") << with({"-f", "-f"}) << 1 << QByteArray("options -f ERROR!\n\n");
    QTest::newRow("-q") << with({"-q"}) << 1 << QByteArray("options -? ERROR!\n\n");
    QTest::newRow("- alone") << with({"-"}) << 1 << QByteArray("options -? ERROR!\n\n");
    QTest::newRow("-X twice") << QStringList{"-X", "-X"} << 1 << QByteArray("options -X ERROR!\n\n");
    QTest::newRow("-Xy") << QStringList{"-Xy"} << 1 << QByteArray("options -X ERROR!\n\n");
    QTest::newRow("-X#: empty path") << QStringList{"-X#"} << 1 << QByteArray("options -X#? ERROR!\n\n");
    QTest::newRow("-X-ex#") << QStringList{"-X-ex#a"} << 1 << QByteArray("options -X-? ERROR!\n\n");
    QTest::newRow("-X-exe#: empty path") << QStringList{"-X-exe#"} << 1 << QByteArray("options -X-exe#? ERROR!\n\n");
    QTest::newRow("-X-exe# without -X#") << QStringList{"-X-exe#a", "@dir.diff"} << 1
                                         << QByteArray("options -X#? ERROR!\n\n");
    QTest::newRow("-X with -X#") << QStringList{"-X", "@dir.diff", "-X#@sfx"} << 1
                                 << QByteArray("options -X ERROR!\n\n");
    QTest::newRow("-X# with two paths") << QStringList{"@dir.diff", "@file.diff", "-X#@sfx"} << 1
                                        << QByteArray("options -X# input count ERROR!\n\n");
    QTest::newRow("-X with one path") << QStringList{"-X", "@old"} << 1
                                      << QByteArray("options -X input count ERROR!\n\n");
    QTest::newRow("four paths") << QStringList{"a", "b", "c", "d"} << 1 << QByteArray("options input count ERROR!\n\n");
    QTest::newRow("two paths") << QStringList{"a", "b"} << 1 << QByteArray("options input count ERROR!\n\n");
    QTest::newRow("empty second path") << QStringList{"a", "", "c"} << 1 << QByteArray("options ? ERROR!\n\n");
    QTest::newRow("two empty paths") << QStringList{"", ""} << 1 << QByteArray("options ? ERROR!\n\n");

    QTest::newRow("file patch") << patch << 0 << QByteArray();
    QTest::newRow("empty old path") << QStringList{"", "@empty.diff", "@new.bin"} << 0 << QByteArray();
    QTest::newRow("-h with three paths: help, then the patch") << with({"-h"}) << 0 << QByteArray();
    QTest::newRow("directory patch") << QStringList{"@old", "@dir.diff", "@new"} << 0 << QByteArray();
    QTest::newRow("directory diff naming a checksum, default checks")
        << QStringList{"@old", "@checked.diff", "@new"} << 102
        << QByteArray("not found checksumType \"sum8\" "
                      "ERROR!\n");
    QTest::newRow("directory diff naming a checksum, -C-no")
        << QStringList{"-C-no", "@old", "@checked.diff", "@new"} << 0 << QByteArray();
    QTest::newRow("existing output without -f") << QStringList{"@old.bin", "@file.diff", "@plain.txt"} << 12
                                                << QByteArray("outNewPath already exists, overwrite ERROR!\n");
    QTest::newRow("existing output with -f")
        << QStringList{"-f", "@old.bin", "@file.diff", "@plain.txt"} << 0 << QByteArray();
    QTest::newRow("existing output directory without -f")
        << QStringList{"@old", "@dir.diff", "@wanted/"} << 12
        << QByteArray("outNewPath already exists, overwrite ERROR!\n");
    QTest::newRow("old and new the same path, a/ and a") << QStringList{"@gone/", "@dir.diff", "@gone"} << 12
                                                         << QByteArray("oldPath outNewPath same path, overwrite "
                                                                       "ERROR!\n");
    QTest::newRow("old and diff the same path") << QStringList{"@file.diff", "@file.diff/", "@new.bin"} << 12
                                                << QByteArray("oldPath diffFile same path ERROR!\n");
    QTest::newRow("new and diff the same path") << QStringList{"-f", "@old.bin", "@file.diff", "@file.diff"} << 12
                                                << QByteArray("outNewPath diffFile same path ERROR!\n");
    // the diff reader adds its own line first
    const QByteArray openFailed = "check dpatch_TFileStreamInput_open(&diffData,diffFileName) error!\n"
                                  "input diffFile open read ERROR!\n";
    QTest::newRow("missing diff") << QStringList{"@old.bin", "@missing.diff", "@new.bin"} << 2 << openFailed;
    QTest::newRow("not a diff") << QStringList{"@old.bin", "@plain.txt", "@new.bin"} << 9
                                << QByteArray("is diff file? getCompressedDiffInfo() ERROR!\n");
    QTest::newRow("-X in a program without a diff")
        << QStringList{"-X"} << 204 << QByteArray("not found diff data in selfExecuteFile ERROR!\n");
}

void TestDirpatchCommandLine::options()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QByteArray, err);
    Fixture fixture;
    QStringList resolved;
    for (const QString& arg : args) {
        if (arg.startsWith("-X#@"))
            resolved << "-X#" + fixture.path(arg.mid(4));
        else
            resolved << fixture.p(arg);
    }
    const Result result = dirpatch(resolved);
    QCOMPARE(result.err, err);
    QCOMPARE(result.code, code);
    if (code == 1) {
        QVERIFY(result.out.contains("patch usage: dirpatch [options] oldPath diffFile outNewPath\n"));
    } else if (code == 0 && args.size() >= 3) {
        QVERIFY2(result.out.contains("time: "), result.out.constData());
        const QString out = resolved.last();
        if (args.last() == "@new")
            QCOMPARE(FileTree::read(out), newTree());
        else if (args.contains("@file.diff"))
            QCOMPARE(readFile(out), readFile(fixture.path("new.bin.expected")));
        else
            QCOMPARE(readFile(out), QByteArray("from nothing"));
    }
    // the old side is never touched
    QCOMPARE(FileTree::read(fixture.path("old")), oldTree());
}

void TestDirpatchCommandLine::inPlaceDirectory()
{
    Fixture fixture;
    const Result result = dirpatch({"-f", fixture.path("old"), fixture.path("dir.diff"), fixture.path("old/")});
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.code, 0);
    QVERIFY(result.out.contains("NOTE: all in outNewPath temp directory will be move to oldDirectory after patch!\n"));
    QVERIFY(result.out.contains("all in outNewPath temp directory moved to oldDirectory!\n"));
    QCOMPARE(FileTree::read(fixture.path("old")), newTree());
    QVERIFY(QDir(fixture.dir.path())
                .entryList({"*.tmp", "*.dirpatch-*"}, QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty());
}

void TestDirpatchCommandLine::failedInPlaceDirectoryLeavesOldTree()
{
    Fixture fixture;
    DirDiff diff = DirDiffWriter::build(fixture.path("old"), fixture.path("wanted"));
    diff.cdiff.chop(1);
    diff.updateHead();
    QVERIFY(diff.save(fixture.path("broken.diff")));
    const Result result = dirpatch({"-f", fixture.path("old"), fixture.path("broken.diff"), fixture.path("old")});
    QCOMPARE(result.code, 108);
    QCOMPARE(FileTree::read(fixture.path("old")), oldTree());
    QVERIFY(QDir(fixture.dir.path())
                .entryList({"*.tmp", "*.dirpatch-*"}, QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty());
    QVERIFY(!result.out.contains("all in outNewPath temp directory moved"));

    // an old path that is a file can't take a directory
    const Result wrongSide =
        dirpatch({"-f", fixture.path("old.bin"), fixture.path("dir.diff"), fixture.path("old.bin")});
    QCOMPARE(wrongSide.code, 12);
    QCOMPARE(wrongSide.err, QByteArray("can not use directory overwrite oldFile ERROR!\n"));
}

void TestDirpatchCommandLine::inPlaceFile()
{
    Fixture fixture;
    const Result result = dirpatch({"-f", fixture.path("old.bin"), fixture.path("file.diff"), fixture.path("old.bin")});
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.code, 0);
    QVERIFY(result.out.contains("outNewPath temp file renamed to oldPath name!\n"));
    QCOMPARE(readFile(fixture.path("old.bin")), readFile(fixture.path("new.bin.expected")));
    QVERIFY(QDir(fixture.dir.path())
                .entryList({"*.tmp", "*.dirpatch-*"}, QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty());

    // applied again the diff no longer fits the file: the old file stays, the temporary one is gone
    const QByteArray patched = readFile(fixture.path("old.bin"));
    const Result again = dirpatch({"-f", fixture.path("old.bin"), fixture.path("file.diff"), fixture.path("old.bin")});
    QCOMPARE(again.code, 6);
    QCOMPARE(readFile(fixture.path("old.bin")), patched);
    QVERIFY(QDir(fixture.dir.path())
                .entryList({"*.tmp", "*.dirpatch-*"}, QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty());
}

void TestDirpatchCommandLine::inPlaceUnderOtherSpellings_data()
{
    QTest::addColumn<QString>("outNewPath");
    QTest::newRow("dot slash") << "./old";
    QTest::newRow("dot slash and trailing slash") << "./old/";
    QTest::newRow("through the parent") << "../{name}/old";
    QTest::newRow("inner dot dot") << "old/../old";
    QTest::newRow("absolute") << "{root}/old";
    QTest::newRow("link to the old directory") << "link-to-old";
}

// The output names the old directory in another way: the run takes the in-place road and rebuilds
// the old directory, instead of writing into the tree it reads.
void TestDirpatchCommandLine::inPlaceUnderOtherSpellings()
{
    QFETCH(QString, outNewPath);
    const auto spelled = [&outNewPath](const QString& root) {
        return QString(outNewPath).replace("{name}", QFileInfo(root).fileName()).replace("{root}", root);
    };
    Fixture fixture;
    QVERIFY(QFile::link("old", fixture.path("link-to-old")));
    const Result result = dirpatch({"-f", "old", "dir.diff", spelled(fixture.dir.path())}, fixture.dir.path());
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.code, 0);
    QVERIFY(result.out.contains("NOTE: all in outNewPath temp directory will be move to oldDirectory after patch!\n"));
    QCOMPARE(FileTree::read(fixture.path("old")), newTree());
    QVERIFY(QFileInfo(fixture.path("link-to-old")).isSymLink());
    QVERIFY(QDir(fixture.dir.path())
                .entryList({"*.tmp", "*.dirpatch-*"}, QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty());

    // without -f the same spelling is an existing output and is refused
    Fixture again;
    QVERIFY(QFile::link("old", again.path("link-to-old")));
    const Result refused = dirpatch({"old", "dir.diff", spelled(again.dir.path())}, again.dir.path());
    QCOMPARE(refused.code, 12);
    QCOMPARE(FileTree::read(again.path("old")), oldTree());
}

void TestDirpatchCommandLine::overlappingTreesRefused_data()
{
    QTest::addColumn<QStringList>("args"); // run in the sandbox, which holds old/ and link-to-old
    QTest::newRow("output inside the old directory") << QStringList{"old", "dir.diff", "old/new"};
    QTest::newRow("output deeper inside, not there yet") << QStringList{"old", "dir.diff", "./old/old-only/x2/y"};
    QTest::newRow("output inside, through a link") << QStringList{"old", "dir.diff", "link-to-old/new"};
    QTest::newRow("old directory inside the output") << QStringList{"-f", "old", "dir.diff", "."};
    QTest::newRow("old directory inside the output, by its parent")
        << QStringList{"-f", "old/old-only", "dir.diff", "old/"};
}

// Outside the in-place road a patch never reads and writes one tree: an output inside the old
// directory, or an old directory inside the output, is refused before anything is written.
void TestDirpatchCommandLine::overlappingTreesRefused()
{
    QFETCH(QStringList, args);
    Fixture fixture;
    QVERIFY(QFile::link("old", fixture.path("link-to-old")));
    const QStringList before =
        QDir(fixture.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    const Result result = dirpatch(args, fixture.dir.path());
    QCOMPARE(result.code, 12);
    QCOMPARE(result.err, QByteArray("oldPath outNewPath overlap ERROR!\n"));
    QCOMPARE(FileTree::read(fixture.path("old")), oldTree());
    QCOMPARE(QDir(fixture.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
}

void TestDirpatchCommandLine::inPlaceRefusesLinks_data()
{
    QTest::addColumn<QString>("linkPath");    // in the patched tree, pointing into outside/
    QTest::addColumn<QString>("linkTarget");  // what it points at, relative to outside/
    QTest::addColumn<QString>("refusedLink"); // the link named in the error
    // old/sub holds old files that the patch removes and receives a new file
    QTest::newRow("old directory") << "sub"
                                   << ""
                                   << "sub";
    // kept/ is in both trees; the new file under it would be moved through the link
    QTest::newRow("directory of the new tree") << "kept"
                                               << ""
                                               << "kept";
    // same.txt is unchanged: it would be moved away and back, and its execute bit set through it
    QTest::newRow("unchanged file") << "same.txt"
                                    << "victim.txt"
                                    << "same.txt";
    QTest::newRow("link below a directory") << "kept/deep"
                                            << ""
                                            << "kept/deep";
}

// A link inside the tree that -f patches in place: the run is refused before anything changes,
// nothing outside the tree is touched and the old tree stays as it was.
void TestDirpatchCommandLine::inPlaceRefusesLinks()
{
    QFETCH(QString, linkPath);
    QFETCH(QString, linkTarget);
    QFETCH(QString, refusedLink);
    QTemporaryDir sandbox;
    const auto path = [&](const QString& name) { return sandbox.filePath(name); };
    const Entries before{{"a.bin", FileTree::file(randomBytes(3000, 4))},
                         {"same.txt", FileTree::file("unchanged text")},
                         {"sub/", FileTree::dir()},
                         {"sub/victim.txt", FileTree::file("old file under sub")},
                         {"kept/", FileTree::dir()},
                         {"kept/deep/", FileTree::dir()},
                         {"kept/deep/k.txt", FileTree::file("kept deep")}};
    Entries after = before;
    after.remove("sub/victim.txt");
    after.insert("sub/new.txt", FileTree::file("new file under sub"));
    after.insert("kept/new.txt", FileTree::file("new file under kept"));
    after.insert("kept/deep/new.txt", FileTree::file("new deep file"));
    after.insert("same.txt", FileTree::file("unchanged text", true));
    QVERIFY(FileTree::write(path("old"), before));
    QVERIFY(FileTree::write(path("wanted"), after));
    QVERIFY(DirDiffWriter::build(path("old"), path("wanted")).save(path("p.diff")));

    // outside/ mirrors what the link replaces, so the patch would otherwise succeed through it
    const Entries outsideBefore{{"victim.txt", FileTree::file("unchanged text")},
                                {"k.txt", FileTree::file("kept deep")},
                                {"deep/", FileTree::dir()},
                                {"deep/k.txt", FileTree::file("kept deep")}};
    QVERIFY(FileTree::write(path("outside"), outsideBefore));
    QVERIFY(writeFile(path("outside/victim.txt"),
                      linkTarget.isEmpty() ? QByteArray("old file under sub") : QByteArray("unchanged text")));
    const Entries outsideStart = FileTree::read(path("outside"));
    const QString linkFile = path("old/" + linkPath);
    QVERIFY(QDir(linkFile).removeRecursively() || QFile::remove(linkFile));
    QFile::remove(linkFile);
    const QString depth = QString("../").repeated(linkPath.count('/') + 1);
    QVERIFY(QFile::link(depth + "outside/" + linkTarget, linkFile));
    const Entries oldStart = FileTree::read(path("old"));

    const Result result = dirpatch({"-f", path("old"), path("p.diff"), path("old")});
    QCOMPARE(result.code, 114);
    QVERIFY2(result.err.contains("can't patch in place through the symbolic link \"" +
                                 path("old/" + refusedLink).toUtf8() + "\"  ERROR!\n"),
             result.err.constData());
    QCOMPARE(FileTree::read(path("outside")), outsideStart);
    QVERIFY(QFileInfo(linkFile).isSymLink());
    QCOMPARE(FileTree::read(path("old")), oldStart);
    QVERIFY(QDir(sandbox.path())
                .entryList({"*.tmp", "*.dirpatch-*"}, QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty());
}

void TestDirpatchCommandLine::directoryDataBombKeepsMemory_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("default cache") << QStringList();
    QTest::newRow("the launcher's cache") << QStringList{"-s-512m"};
    QTest::newRow("all old data loaded") << QStringList{"-m"};
}

// A small diff whose compressed directory data decodes to 10^8 bytes, declared as 10^8 old paths,
// would need about 900 MB of path tables: it is refused as a corrupt diff before that memory is taken.
void TestDirpatchCommandLine::directoryDataBombKeepsMemory()
{
    QFETCH(QStringList, options);
    QTemporaryDir sandbox;
    const auto path = [&](const QString& name) { return sandbox.filePath(name); };
    QVERIFY(FileTree::write(path("old"), {{"a.txt", FileTree::file("a")}}));
    QVERIFY(FileTree::write(path("new"), {{"a.txt", FileTree::file("a")}}));
    {
        // 100 MB of plain directory data, given back before the run
        DirDiffWriter::Options compressed;
        compressed.compressDirData = true;
        DirDiff bomb = DirDiffWriter::build(path("old"), path("new"), compressed);
        const quint64 kPaths = 100'000'000;
        bomb.dirDataOverride = QByteArray(qsizetype(kPaths), '\0');
        bomb.updateHead();
        bomb.oldPathCount = kPaths - 64;
        bomb.oldPathSumSize = kPaths - 64;
        QVERIFY(bomb.save(path("bomb.diff")));
    }
    QVERIFY(QFileInfo(path("bomb.diff")).size() < 64 * 1024);

    const MeasuredRun run = dirpatchMeasured(options + QStringList{path("old"), path("bomb.diff"), path("out")});
    QCOMPARE(run.code, 109);
    QVERIFY2(run.peakKiB < 64 * 1024, qPrintable(QString("peak %1 KiB").arg(run.peakKiB)));
    QVERIFY(!QFileInfo::exists(path("out")));
}

void TestDirpatchCommandLine::directoryDataWithinCacheBudget_data()
{
    QTest::addColumn<QString>("cacheOption");
    QTest::addColumn<int>("code");
    QTest::newRow("tables larger than the cache") << "-s-32k" << 109;
    QTest::newRow("tables within the cache") << "-s-4m" << 0;
}

// The budget for the directory data is the cache the caller gave: a valid diff of 400 files needs
// more than 32 KiB of tables and less than 4 MiB.
void TestDirpatchCommandLine::directoryDataWithinCacheBudget()
{
    QFETCH(QString, cacheOption);
    QFETCH(int, code);
    QTemporaryDir sandbox;
    const auto path = [&](const QString& name) { return sandbox.filePath(name); };
    Entries before;
    Entries after;
    for (int i = 0; i < 400; ++i) {
        const QString name = QString("dir%1/file-with-a-longer-name-%2.txt").arg(i % 10).arg(i);
        before.insert(QString("dir%1/").arg(i % 10), FileTree::dir());
        before.insert(name, FileTree::file(randomBytes(64, quint32(i))));
    }
    after = before;
    after.insert("dir0/file-with-a-longer-name-0.txt", FileTree::file("changed"));
    QVERIFY(FileTree::write(path("old"), before));
    QVERIFY(FileTree::write(path("wanted"), after));
    QVERIFY(DirDiffWriter::build(path("old"), path("wanted")).save(path("p.diff")));
    const Result result = dirpatch({cacheOption, path("old"), path("p.diff"), path("out")});
    QCOMPARE(result.code, code);
    if (code == 0)
        QCOMPARE(FileTree::read(path("out")), after);
    else
        QVERIFY(result.err.contains("directory data needs more memory than the limit of 32768 bytes\n"));
}

void TestDirpatchCommandLine::archiveRunsWithoutArguments()
{
    Fixture fixture;
    DirDiffWriter::Options fullInstall;
    fullInstall.oldIsDir = false;
    QVERIFY(DirDiffWriter::build(QString(), fixture.path("wanted"), fullInstall).save(fixture.path("full.diff")));
    const QString archive = fixture.path("installer");
    const Result made = dirpatch({fixture.path("full.diff"), "-X#" + archive});
    QCOMPARE(made.err, QByteArray());
    QCOMPARE(made.code, 0);
    QVERIFY(made.out.contains("out sfxFile ok!\n"));
    QVERIFY(QFileInfo(archive).isExecutable());
    QCOMPARE(readFile(archive).size(), QFileInfo(DIRPATCH_BINARY).size() + QFileInfo(fixture.path("full.diff")).size());

    const QString target = fixture.path("target");
    QVERIFY(QDir().mkpath(target));
    const Result run = runProgram(archive, {}, target);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.code, 0);
    QVERIFY(run.out.contains("run as SFX mode!\n"));
    QCOMPARE(FileTree::read(target), newTree());

    // with two paths the archive patches like dirpatch itself, here into a fresh directory
    const Result explicitRun = runProgram(archive, {"", "-X", fixture.path("second")});
    QCOMPARE(explicitRun.code, 0);
    QCOMPARE(FileTree::read(fixture.path("second")), newTree());

    // an archive is no plain executable any more
    const Result again = dirpatch({"-X-exe#" + archive, fixture.path("full.diff"), "-X#" + fixture.path("twice")});
    QCOMPARE(again.code, 202);
    QCOMPARE(again.err, QByteArray("createSfx() selfExecute type ERROR!\n"));
}

void TestDirpatchCommandLine::archiveMarkerAcrossChunkBoundary()
{
    Fixture fixture;
    // a stand-in executable whose plain block starts 10 bytes before the first 64 KiB boundary
    const QByteArray block = kMarker + QByteArray(12, char(0xff));
    const QByteArray exe = randomBytes(65536 - 10, 7) + block + randomBytes(100, 8);
    QVERIFY(writeFile(fixture.path("stand-in"), exe));
    const QString archive = fixture.path("stand-in.sfx");
    const Result made = dirpatch({"-X-exe#" + fixture.path("stand-in"), fixture.path("file.diff"), "-X#" + archive});
    QCOMPARE(made.err, QByteArray());
    QCOMPARE(made.code, 0);
    const QByteArray diff = readFile(fixture.path("file.diff"));
    QByteArray expected = exe;
    const qsizetype at = 65536 - 10 + 16;
    for (int i = 0; i < 4; ++i)
        expected[at + i] = char(quint64(exe.size()) >> (8 * i));
    for (int i = 0; i < 8; ++i)
        expected[at + 4 + i] = char(quint64(diff.size()) >> (8 * i));
    QCOMPARE(readFile(archive), expected + diff);
    // not executable, so the archive isn't either
    QVERIFY(!QFileInfo(archive).isExecutable());
}

void TestDirpatchCommandLine::archiveRefusals()
{
    Fixture fixture;
    QVERIFY(writeFile(fixture.path("no-marker"), randomBytes(70000, 9)));
    QVERIFY(writeFile(fixture.path("empty-exe"), QByteArray()));
    const struct
    {
        QStringList args;
        int code;
        QByteArray err;
    } rows[] = {
        {{"-X-exe#" + fixture.path("no-marker"), fixture.path("file.diff"), "-X#" + fixture.path("a")},
         202,
         "createSfx() selfExecute type ERROR!\n"},
        {{"-X-exe#" + fixture.path("empty-exe"), fixture.path("file.diff"), "-X#" + fixture.path("b")},
         202,
         "createSfx() selfExecute type ERROR!\n"},
        {{fixture.path("plain.txt"), "-X#" + fixture.path("c")},
         201,
         "createSfx() input diffFile is unsupported type ERROR!\n"},
        {{fixture.path("file.diff"), "-X#" + fixture.path("plain.txt")},
         12,
         "outSelfExtractArchive already exists, overwrite ERROR!\n"},
        {{"-X-exe#" + fixture.path("missing"), fixture.path("file.diff"), "-X#" + fixture.path("d")},
         2,
         "createSfx() open selfExecuteFile read ERROR!\n"},
    };
    for (const auto& row : rows) {
        const Result result = dirpatch(row.args);
        QCOMPARE(result.err, row.err);
        QCOMPARE(result.code, row.code);
    }
    // -f lets an archive replace an existing file
    const Result forced = dirpatch({"-f", fixture.path("file.diff"), "-X#" + fixture.path("plain.txt")});
    QCOMPARE(forced.code, 0);
}

void TestDirpatchCommandLine::archiveStartedThroughSearchPath()
{
    // Started by its bare name from another directory the archive can't find its own file.
    Fixture fixture;
    const QString binDir = fixture.path("bin");
    QVERIFY(QDir().mkpath(binDir));
    const Result made = dirpatch({fixture.path("empty.diff"), "-X#" + binDir + "/unpacker"});
    QCOMPARE(made.code, 0);
    const QString elsewhere = fixture.path("elsewhere");
    QVERIFY(QDir().mkpath(elsewhere));
    QProcess shell;
    shell.setWorkingDirectory(elsewhere);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", binDir + ":" + env.value("PATH"));
    shell.setProcessEnvironment(env);
    shell.start("/bin/sh", {"-c", "exec unpacker \"\" -X out.bin"});
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(shell.exitCode(), 2);
    QVERIFY(shell.readAllStandardError().endsWith("\ninput diffFile open read ERROR!\n"));
}

QTEST_GUILESS_MAIN(TestDirpatchCommandLine)
#include "TestDirpatchCommandLine.moc"
