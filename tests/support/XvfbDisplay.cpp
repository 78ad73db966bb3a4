#include "XvfbDisplay.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

bool XvfbDisplay::start()
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty())
        return false;
    // -displayfd picks a free display and writes its number on the given descriptor (stdout).
    server.start(xvfb, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
    if (!server.waitForStarted(5000))
        return false;
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (!out.contains('\n') && clock.elapsed() < 10000 && server.state() == QProcess::Running) {
        server.waitForReadyRead(200);
        out += server.readAllStandardOutput();
    }
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok)
        return false;
    name = ":" + QString::number(number);
    return true;
}

XvfbDisplay::~XvfbDisplay()
{
    if (server.state() != QProcess::NotRunning) {
        server.terminate();
        if (!server.waitForFinished(3000))
            server.kill();
        server.waitForFinished(3000);
    }
}

QByteArray XvfbDisplay::tool(const QString& program, const QStringList& arguments, int timeoutMSecs)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", name);
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMSecs)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    return process.readAllStandardOutput();
}

QString XvfbDisplay::waitForWindow(const QString& title, int timeoutMSecs)
{
    QElapsedTimer clock;
    clock.start();
    do {
        const QByteArray ids =
            tool("xdotool", {"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(title) + "$"});
        if (!ids.trimmed().isEmpty())
            return QString::fromLatin1(ids.trimmed().split('\n').first());
        QTest::qWait(100);
    } while (clock.elapsed() < timeoutMSecs);
    return {};
}
