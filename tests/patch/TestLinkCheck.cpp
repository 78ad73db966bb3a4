// The check for symbolic links on paths below a root, on a real tree holding links, with both ways of learning
// what a component is, and one checker asked about several paths in turn as the in-place road asks it.

#include "patch/os/link_check.h"
#include "support/Files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestLinkCheck : public QObject
{
    Q_OBJECT

private slots:
    void linkIn_data();
    void linkIn();
    void linkMadeWhereNothingWasIsSeen();

private:
    // A tree with links in it below sandbox: tree/d/{f, sub/g, link -> outside, flink -> outside/x}, tree/e -> d,
    // and treelink -> tree.
    static bool makeTree(const QTemporaryDir& sandbox);
};

bool TestLinkCheck::makeTree(const QTemporaryDir& sandbox)
{
    const QString tree = sandbox.filePath("tree");
    return sandbox.isValid() && writeFile(tree + "/d/f", "f") && writeFile(tree + "/d/sub/g", "g") &&
           writeFile(sandbox.filePath("outside/x"), "x") &&
           QFile::link(sandbox.filePath("outside"), tree + "/d/link") &&
           QFile::link(sandbox.filePath("outside/x"), tree + "/d/flink") && QFile::link("d", tree + "/e") &&
           QFile::link(tree, sandbox.filePath("treelink"));
}

void TestLinkCheck::linkIn_data()
{
    QTest::addColumn<int>("way");
    QTest::addColumn<QString>("root");         // as the caller spells it, inside the sandbox
    QTest::addColumn<QStringList>("paths");    // below the root, asked in this order of one checker
    QTest::addColumn<QStringList>("expected"); // the link each one names, below the root; "" for none
    struct Case
    {
        const char* name;
        QString root;
        QStringList paths;
        QStringList expected;
    };
    const Case cases[] = {
        {"no link", "tree", {"d/f", "d/sub/g", "d/sub", "d"}, {"", "", "", ""}},
        {"a link to a folder on the way", "tree", {"e/f", "e/sub/g"}, {"e", "e"}},
        {"a link as the last component", "tree", {"d/flink"}, {"d/flink"}},
        {"a link after the other entries of its folder", "tree", {"d/f", "d/sub/g", "d/link/x"}, {"", "", "d/link"}},
        {"a link found again", "tree", {"d/link/x", "d/f", "d/link/y"}, {"d/link", "", "d/link"}},
        {"a missing component ends the search", "tree", {"d/none/x", "none"}, {"", ""}},
        {"a root spelled with its '/'", "tree/", {"d/f", "e/f"}, {"", "e"}},
        {"a root reached through a link", "treelink", {"d/f", "d/flink"}, {"", "d/flink"}},
        {"a doubled '/'", "tree", {"d//flink", "d//f"}, {"d//flink", ""}},
    };
    for (const Case& c : cases) {
        QTest::addRow("%s, looking at each", c.name) << int(LinkCheck::kLookAtEach) << c.root << c.paths << c.expected;
        QTest::addRow("%s, reading folders", c.name) << int(LinkCheck::kReadFolders) << c.root << c.paths << c.expected;
    }
}

void TestLinkCheck::linkIn()
{
    QFETCH(int, way);
    QFETCH(QString, root);
    QFETCH(QStringList, paths);
    QFETCH(QStringList, expected);
    QTemporaryDir sandbox;
    QVERIFY(makeTree(sandbox));

    LinkCheck check{LinkCheck::Way(way)};
    const QByteArray rootPath = QFile::encodeName(sandbox.filePath(root));
    for (int i = 0; i < paths.size(); ++i) {
        const QByteArray path = rootPath + (rootPath.endsWith('/') ? "" : "/") + QFile::encodeName(paths[i]);
        char buf[4096];
        const char* link = check.linkIn(path.constData(), size_t(rootPath.size()), buf, sizeof(buf));
        const QByteArray wanted = expected[i].isEmpty()
                                      ? QByteArray()
                                      : rootPath + (rootPath.endsWith('/') ? "" : "/") + QFile::encodeName(expected[i]);
        QCOMPARE(QByteArray(link), wanted);
    }
}

// What was missing is not remembered: a link made there afterwards is found (the new tree's checker lives
// while the run makes the folders it looks at).
void TestLinkCheck::linkMadeWhereNothingWasIsSeen()
{
    QTemporaryDir sandbox;
    QVERIFY(makeTree(sandbox));
    const QByteArray root = QFile::encodeName(sandbox.filePath("tree"));
    const QByteArray path = root + "/d/later/x";
    LinkCheck check;
    char buf[4096];
    QVERIFY(!check.linkIn(path.constData(), size_t(root.size()), buf, sizeof(buf)));
    QVERIFY(QFile::link(sandbox.filePath("outside"), sandbox.filePath("tree/d/later")));
    QCOMPARE(QByteArray(check.linkIn(path.constData(), size_t(root.size()), buf, sizeof(buf))), root + "/d/later");
}

QTEST_GUILESS_MAIN(TestLinkCheck)
#include "TestLinkCheck.moc"
