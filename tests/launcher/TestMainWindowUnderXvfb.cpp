// The real launcher binary in window mode on a real X server (Xvfb), driven with xdotool as a player
// would drive it: the frameless window, its failure box, dragging by the title bar and the close button.
// Screenshots of the window are kept beside the test program as artefacts.

#include "support/LauncherSandbox.h"
#include "support/TestUpdateServer.h"
#include "support/XvfbDisplay.h"

#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QtEndian>
#include <memory>

namespace
{
const QString windowTitle = QStringLiteral("Pelwinter Launcher");

// One launcher run in its own sandbox; a run that a failed check leaves behind is killed.
struct LauncherRun
{
    LauncherSandbox sandbox;
    QProcess process;

    ~LauncherRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

// What became of a launcher whose window never showed, for the failure message.
QString describe(LauncherRun& run)
{
    QString text = run.process.state() == QProcess::NotRunning
                       ? QString("launcher ended with code %1").arg(run.process.exitCode())
                       : QString("launcher still running");
    text += "\nstderr: " + QString::fromLocal8Bit(run.process.readAllStandardError());
    text += "\nlog:\n" + run.sandbox.readLog();
    return text;
}

struct WindowGeometry
{
    int x = 0, y = 0, width = 0, height = 0;
};

// Reads an XWD screenshot (as xwd writes it: header in big-endian order, ZPixmap of 24 or 32 bits
// per pixel) into an image.
QImage imageFromXwd(const QByteArray& xwd)
{
    if (xwd.size() < 100)
        return {};
    const auto* data = reinterpret_cast<const uchar*>(xwd.constData());
    auto field = [data](int index) { return qFromBigEndian<quint32>(data + 4 * index); };
    const quint32 headerSize = field(0), width = field(4), height = field(5), byteOrder = field(7);
    const quint32 bitsPerPixel = field(11), bytesPerLine = field(12), colours = field(19);
    if ((bitsPerPixel != 24 && bitsPerPixel != 32) || width == 0 || height == 0 || width > 10000 || height > 10000)
        return {};
    const qint64 pixels = qint64(headerSize) + qint64(colours) * 12;
    if (pixels + qint64(bytesPerLine) * height > xwd.size())
        return {};
    const int bytes = int(bitsPerPixel / 8);
    QImage image(int(width), int(height), QImage::Format_RGB32);
    for (quint32 y = 0; y < height; ++y) {
        const uchar* line = data + pixels + qint64(y) * bytesPerLine;
        for (quint32 x = 0; x < width; ++x) {
            const uchar* p = line + x * bytes;
            // Little-endian pixels hold blue, green, red from the lowest byte up.
            const bool lsbFirst = byteOrder == 0;
            const uchar blue = lsbFirst ? p[0] : p[bytes - 1];
            const uchar green = lsbFirst ? p[1] : p[bytes - 2];
            const uchar red = lsbFirst ? p[2] : p[bytes - 3];
            image.setPixel(int(x), int(y), qRgb(red, green, blue));
        }
    }
    return image;
}

bool closeTo(QColor a, QColor b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}
} // namespace

class TestMainWindowUnderXvfb : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void windowAndFailureBox();
    void dragByTitleBarAndCloseButton();

private:
    QByteArray x11Tool(const QString& program, const QStringList& arguments)
    {
        return display->tool(program, arguments);
    }
    QString waitForWindow(const QString& title, int timeoutMSecs)
    {
        return display->waitForWindow(title, timeoutMSecs);
    }
    WindowGeometry geometry(const QString& window);
    QImage screenshot(const QString& window);
    void startLauncher(LauncherRun& run);

    std::unique_ptr<XvfbDisplay> display;
};

void TestMainWindowUnderXvfb::initTestCase()
{
    for (const char* tool : {"Xvfb", "xdotool", "xprop", "xwd"})
        QVERIFY2(!QStandardPaths::findExecutable(tool).isEmpty(),
                 qPrintable(QString(tool) + " is missing: scripts/install-deps.sh installs it"));
}

// A fresh X server for every test: keyboard and pointer state left by one test (a key still held
// while its window went away) must not reach the next launcher's windows.
void TestMainWindowUnderXvfb::init()
{
    display = std::make_unique<XvfbDisplay>();
    QVERIFY(display->start());
}

void TestMainWindowUnderXvfb::cleanup()
{
    display.reset();
}

WindowGeometry TestMainWindowUnderXvfb::geometry(const QString& window)
{
    WindowGeometry result;
    const QByteArray shell = x11Tool("xdotool", {"getwindowgeometry", "--shell", window});
    for (const QByteArray& line : shell.split('\n')) {
        const QList<QByteArray> pair = line.split('=');
        if (pair.size() != 2)
            continue;
        const int value = pair[1].toInt();
        if (pair[0] == "X")
            result.x = value;
        else if (pair[0] == "Y")
            result.y = value;
        else if (pair[0] == "WIDTH")
            result.width = value;
        else if (pair[0] == "HEIGHT")
            result.height = value;
    }
    return result;
}

QImage TestMainWindowUnderXvfb::screenshot(const QString& window)
{
    return imageFromXwd(x11Tool("xwd", {"-silent", "-id", window}));
}

void TestMainWindowUnderXvfb::startLauncher(LauncherRun& run)
{
    run.sandbox.setEnv("DISPLAY", display->name);
    run.sandbox.setEnv("QT_QPA_PLATFORM", "xcb");
    run.sandbox.start(run.process, TEST_LAUNCHER_BINARY, {"--gui"});
    QVERIFY(run.process.waitForStarted(5000));
}

// No update server and no install: the window comes up, then the launch failure box; the run ends
// only once the box is dismissed, and ends with exit code 0.
void TestMainWindowUnderXvfb::windowAndFailureBox()
{
    LauncherRun run;
    startLauncher(run);
    QProcess& launcher = run.process;

    const QString window = waitForWindow(windowTitle, 20000);
    QVERIFY2(!window.isEmpty(), qPrintable(describe(run)));
    const WindowGeometry size = geometry(window);
    QCOMPARE(size.width, 559);
    QCOMPARE(size.height, 450);
    // Frameless: the window asks the window manager for no decorations at all.
    const QByteArray hints = x11Tool("xprop", {"-id", window, "_MOTIF_WM_HINTS"});
    const QList<QByteArray> values = hints.mid(hints.indexOf('=') + 1).split(',');
    QVERIFY2(values.size() >= 3, hints.constData());
    QVERIFY2(values[0].trimmed().toUInt(nullptr, 16) & 0x2, hints.constData());
    QCOMPARE(values[2].trimmed().toUInt(nullptr, 16), 0u);

    const QString box = waitForWindow("Launch Failed!", 30000);
    QVERIFY(!box.isEmpty());

    const QImage shot = screenshot(window);
    QCOMPARE(shot.size(), QSize(559, 450));
    QVERIFY(shot.save(QCoreApplication::applicationDirPath() + "/testmainwindowunderxvfb-window.png"));
    // The style sheet and the picture are there in the real program, not only in the form.
    QVERIFY(closeTo(shot.pixelColor(3, 303), QColor(0x18, 0x12, 0x28)));
    QVERIFY(closeTo(shot.pixelColor(540, 356), QColor(0x3D, 0x4B, 0x70)));
    QVERIFY(shot.copy(0, 42, 559, 258).convertToFormat(QImage::Format_Indexed8).colorCount() > 16);
    const QImage boxShot = screenshot(box);
    QVERIFY(!boxShot.isNull());
    QVERIFY(boxShot.save(QCoreApplication::applicationDirPath() + "/testmainwindowunderxvfb-failure.png"));

    // The box holds the run open until the player dismisses it.
    QTest::qWait(300);
    QCOMPARE(launcher.state(), QProcess::Running);
    x11Tool("xdotool", {"key", "--window", box, "Return"});
    QVERIFY(launcher.waitForFinished(10000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
}

// With the branch manifest held back by the server, the window sits waiting: pressing on the title
// bar and moving drags it, pressing on the picture does not, and the close button ends the run.
void TestMainWindowUnderXvfb::dragByTitleBarAndCloseButton()
{
    TestUpdateServer server(TEST_CA_DIR);
    const QString manifest = server.putFile("manifest-main-linux.json", "{}");
    server.setFaults(manifest, {{.delayMSecs = 60000}});
    QVERIFY(server.start(TEST_SERVER_PORT));

    LauncherRun run;
    startLauncher(run);
    QProcess& launcher = run.process;
    const QString window = waitForWindow(windowTitle, 20000);
    QVERIFY2(!window.isEmpty(), qPrintable(describe(run)));
    // The drag needs a window that no modal box covers: wait until the Updater is stuck on the manifest.
    QElapsedTimer clock;
    clock.start();
    while (server.requestsFor(manifest).isEmpty() && clock.elapsed() < 20000) {
        if (!waitForWindow("Launch Failed!", 100).isEmpty())
            QSKIP("this build reports a failure without asking the update server for the manifest");
    }
    QVERIFY2(!server.requestsFor(manifest).isEmpty(), qPrintable(describe(run)));

    const WindowGeometry start = geometry(window);
    auto drag = [&](QPoint from, QPoint by) {
        const QPoint to = from + by;
        x11Tool("xdotool", {"mousemove", QString::number(start.x + from.x()), QString::number(start.y + from.y()),
                            "mousedown", "1", "mousemove", QString::number(start.x + to.x()),
                            QString::number(start.y + to.y()), "mouseup", "1"});
    };

    drag(QPoint(200, 20), QPoint(50, 40));
    QTRY_COMPARE(geometry(window).x, start.x + 50);
    QCOMPARE(geometry(window).y, start.y + 40);

    const WindowGeometry moved = geometry(window);
    // The picture is no handle: pressing there and moving leaves the window in place.
    x11Tool("xdotool", {"mousemove", QString::number(moved.x + 280), QString::number(moved.y + 150), "mousedown", "1",
                        "mousemove", QString::number(moved.x + 330), QString::number(moved.y + 200), "mouseup", "1"});
    QTest::qWait(300);
    QCOMPARE(geometry(window).x, moved.x);
    QCOMPARE(geometry(window).y, moved.y);

    QVERIFY(screenshot(window).save(QCoreApplication::applicationDirPath() + "/testmainwindowunderxvfb-waiting.png"));

    // The close button ends the run while the Updater is still waiting for the manifest.
    x11Tool("xdotool", {"mousemove", QString::number(moved.x + 522), QString::number(moved.y + 21), "click", "1"});
    QVERIFY(launcher.waitForFinished(10000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestMainWindowUnderXvfb)
#include "TestMainWindowUnderXvfb.moc"
