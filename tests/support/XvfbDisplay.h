#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A private X server (Xvfb) on the first free display number, for the lifetime of the object, with
// the X tools a test drives windows with:
//
//     XvfbDisplay display;
//     QVERIFY(display.start());
//     sandbox.setEnv("DISPLAY", display.name);
//     const QString box = display.waitForWindow("Launch Failed!", 30000);
//     display.tool("xdotool", {"key", "--window", box, "Return"});
class XvfbDisplay
{
public:
    ~XvfbDisplay();

    // False when Xvfb is missing or does not come up.
    bool start();

    // Runs an X client (xdotool, xprop, xwd) on this display; its standard output, or nothing when
    // it did not end in time.
    QByteArray tool(const QString& program, const QStringList& arguments, int timeoutMSecs = 10000);

    // The id of the first mapped window whose name is exactly title, or empty after the timeout.
    QString waitForWindow(const QString& title, int timeoutMSecs);

    QString name; // ":<number>"

private:
    QProcess server;
};
