// Telling mount points inside an install from folders that only look like them: real mounts (a tmpfs,
// and a bind mount of a folder of the same disk, whose device number is its parent's) made as root in
// a temporary folder, and taken down whatever happens.

#include "support/Files.h"
#include "support/ScratchMount.h"
#include "updater/MountPoints.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace
{
struct Fixture
{
    QTemporaryDir root;
    // taken down last made first, as a mount may lie on another
    std::vector<std::unique_ptr<MountOn>> mounts;

    ~Fixture()
    {
        while (!mounts.empty())
            mounts.pop_back();
    }
    QString path(const QString& relative) const { return root.path() + "/" + relative; }
    // False, with the reason in whyNot, when the mount can't be made here.
    bool mount(const QString& relative, const QString& bindSource = QString())
    {
        mounts.push_back(
            std::make_unique<MountOn>(path(relative), bindSource.isEmpty() ? bindSource : path(bindSource)));
        whyNot = mounts.back()->whyNot();
        return mounts.back()->isMounted();
    }
    void link(const QString& target, const QString& relative) const
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QVERIFY(QFile::link(path(target), path(relative)));
    }
    QString whyNot;
};

// Builds the fixture's folders and mounts; false when a mount can't be made.
using Setup = std::function<bool(Fixture&)>;
} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(MountTest)

class TestMountPoints : public QObject
{
    Q_OBJECT
private slots:
    void tellsMountPoints_data();
    void tellsMountPoints();
    void findsTheMountPointAFolderHolds_data();
    void findsTheMountPointAFolderHolds();
};

void TestMountPoints::tellsMountPoints_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("tested"); // relative to the fixture's root
    QTest::addColumn<bool>("mountPoint");

    QTest::newRow("a tmpfs") << Setup([](Fixture& f) { return f.mount("m"); }) << "m" << true;
    // the same device as its parent: a device number can't tell this one
    QTest::newRow("a bind mount of the same disk") << Setup([](Fixture& f) {
        QDir().mkpath(f.path("source"));
        return f.mount("m", "source");
    }) << "m" << true;
    QTest::newRow("a folder inside a mount") << Setup([](Fixture& f) {
        const bool made = f.mount("m");
        QDir().mkpath(f.path("m/inside"));
        return made;
    }) << "m/inside" << false;
    QTest::newRow("a plain folder") << Setup([](Fixture& f) { return QDir().mkpath(f.path("plain")); }) << "plain"
                                    << false;
    QTest::newRow("a link to a mount point") << Setup([](Fixture& f) {
        const bool made = f.mount("m");
        f.link("m", "link");
        return made;
    }) << "link" << false;
    // tested where it really is, against its own parent
    QTest::newRow("a mount point reached through a linked parent") << Setup([](Fixture& f) {
        const bool made = f.mount("real/m");
        f.link("real", "linked");
        return made;
    }) << "linked/m" << true;
    // the mount table writes a space as \040
    QTest::newRow("a mount point with a space in its name")
        << Setup([](Fixture& f) { return f.mount("with space\\040x"); }) << "with space\\040x" << true;
    QTest::newRow("a file bind-mounted on a file") << Setup([](Fixture& f) {
        writeFile(f.path("source.txt"), "x");
        writeFile(f.path("target.txt"), "y");
        return f.mount("target.txt", "source.txt");
    }) << "target.txt" << false;
    QTest::newRow("nothing there") << Setup([](Fixture&) { return true; }) << "missing" << false;
}

void TestMountPoints::tellsMountPoints()
{
    QFETCH(Setup, setup);
    QFETCH(QString, tested);
    QFETCH(bool, mountPoint);
    Fixture f;
    QVERIFY(f.root.isValid());
    if (!setup(f))
        QSKIP(qPrintable(f.whyNot));

    const QString path = f.path(tested);
    QCOMPARE(isMountPoint(path), mountPoint);
    // every way of telling agrees, for kernels that have only the older ones
    for (const MountTest test : {MountTest::MountRootAttribute, MountTest::MountId, MountTest::MountTable}) {
        if (kernelAnswers(test))
            QVERIFY2(isMountPointBy(path, test) == mountPoint, qPrintable(QString::number(int(test))));
        else
            qInfo("this kernel can't answer test %d", int(test));
    }
}

void TestMountPoints::findsTheMountPointAFolderHolds_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("found"); // relative to the fixture's root, empty for none

    const auto tree = [](Fixture& f) {
        writeFile(f.path("install/Pelwinter/Content/a.pak"), "a");
        writeFile(f.path("install/Pelwinter/Binaries/game"), "g");
    };
    QTest::newRow("none") << Setup([=](Fixture& f) {
        tree(f);
        return true;
    }) << "";
    QTest::newRow("a game folder mounted") << Setup([=](Fixture& f) {
        tree(f);
        return f.mount("install/Pelwinter/Content");
    }) << "install/Pelwinter/Content";
    QTest::newRow("the folder itself mounted") << Setup([=](Fixture& f) {
        const bool made = f.mount("install");
        tree(f);
        return made;
    }) << "install";
    QTest::newRow("the shallowest of two") << Setup([=](Fixture& f) {
        tree(f);
        return f.mount("install/Pelwinter") && f.mount("install/Pelwinter/Content");
    }) << "install/Pelwinter";
    // links are never followed
    QTest::newRow("a link inside to a mount point elsewhere") << Setup([=](Fixture& f) {
        tree(f);
        const bool made = f.mount("elsewhere");
        f.link("elsewhere", "install/Pelwinter/linked");
        return made;
    }) << "";
    QTest::newRow("beside the folder, not in it") << Setup([=](Fixture& f) {
        tree(f);
        return f.mount("install2/Pelwinter");
    }) << "";
    // the table still lists a mount that a later mount on a folder above hides from every path
    QTest::newRow("a mount hidden under a later one above") << Setup([=](Fixture& f) {
        if (!f.mount("outer/install/m"))
            return false;
        QDir().mkpath(f.path("empty/install"));
        return f.mount("outer", "empty");
    }) << "";
}

void TestMountPoints::findsTheMountPointAFolderHolds()
{
    QFETCH(Setup, setup);
    QFETCH(QString, found);
    Fixture f;
    QVERIFY(f.root.isValid());
    if (!setup(f))
        QSKIP(qPrintable(f.whyNot));

    const QString folder = QTest::currentDataTag() == QByteArray("a mount hidden under a later one above")
                               ? f.path("outer/install")
                               : f.path("install");
    QCOMPARE(mountPointWithin(folder), found.isEmpty() ? QString() : f.path(found));
    // a link to the folder is no folder: nothing is looked at through it
    f.link(QDir(f.root.path()).relativeFilePath(folder), "link-to-install");
    QCOMPARE(mountPointWithin(f.path("link-to-install")), QString());
}

QTEST_GUILESS_MAIN(TestMountPoints)
#include "TestMountPoints.moc"
