#include "frontends/ConsoleHost.h"

#include "updater/Updater.h"

#include <QCoreApplication>
#include <QTextStream>
#include <climits>
#include <cmath>
#include <cstdio>

namespace
{
const QString esc = QString(QChar(27));

// Each piece goes out through a stream of its own, flushed when it is dropped, so the terminal
// shows it at once.
void writeOut(const QString& text)
{
    QTextStream out(stdout);
    out << text;
}

// Percentage shown for "%p": progress / maximum * 100 truncated toward zero. A maximum of 0 or
// below has no ratio (a download of unknown size reports one) and shows 0; a ratio beyond the
// int range is clamped rather than converted out of range.
int percentage(qlonglong progress, qlonglong maxProgress)
{
    if (maxProgress <= 0)
        return 0;
    const double value = double(progress) / double(maxProgress) * 100.0;
    if (value >= double(INT_MAX))
        return INT_MAX;
    if (value <= double(INT_MIN))
        return INT_MIN;
    return int(std::trunc(value));
}

QString withPercentage(QString format, qlonglong progress, qlonglong maxProgress)
{
    return format.replace("%p", QString::number(percentage(progress, maxProgress)));
}
} // namespace

ConsoleHost::ConsoleHost(QString exePath, QString branch, QString profile, QStringList launchArguments, bool launchOnly,
                         bool server, QObject* parent)
    : QObject(parent)
{
    updater = new Updater(exePath, branch, profile, launchArguments, launchOnly, server, true, this);
    connect(updater, &Updater::updateProgressBar1, this, &ConsoleHost::updateProgressBar1);
    connect(updater, &Updater::updateProgressBar2, this, &ConsoleHost::updateProgressBar2);
    connect(updater, &Updater::updateInfoText, this, &ConsoleHost::updateInfoText);
    connect(updater, &Updater::updateFailed, this, &ConsoleHost::updateFailed);
    connect(updater, &Updater::updateDone, this, &ConsoleHost::updateDone);
    connect(updater, &Updater::updateConsole, this, &ConsoleHost::updateConsole);
    connect(updater, &Updater::popup, this, &ConsoleHost::popup);
    connect(updater, &Updater::handleOptionalUpdate, updater, &Updater::optionalUpdateNo);
}

ConsoleHost::~ConsoleHost() = default;

void ConsoleHost::start()
{
    updater->go();
}

void ConsoleHost::updateProgressBar1(QString format, qlonglong progress, qlonglong maxProgress)
{
    format1 = format;
    progress1 = progress;
    maxProgress1 = maxProgress;
    printStatusLine();
}

void ConsoleHost::updateProgressBar2(QString format, qlonglong progress, qlonglong maxProgress)
{
    format2 = format;
    progress2 = progress;
    maxProgress2 = maxProgress;
    printStatusLine();
}

void ConsoleHost::updateInfoText(QString line1, QString line2)
{
    if (!line1.isEmpty() && !line2.isEmpty())
        infoText = line1 + " (" + line2 + ")";
    else if (!line1.isEmpty())
        infoText = line1;
    else if (!line2.isEmpty())
        infoText = line2;
    printStatusLine();
}

void ConsoleHost::updateFailed(QString error, QString title)
{
    updateConsole(esc + "[1;37;41m" + title + esc + "[0m" + " " + esc + "[1;31m" + error + esc + "[0m");
    runOver = true;
    QCoreApplication::quit();
}

void ConsoleHost::updateDone()
{
    updateConsole(esc + "[1;37;42m" + "All done!" + esc + "[0m");
    runOver = true;
    QCoreApplication::quit();
}

void ConsoleHost::updateConsole(QString newLine)
{
    if (runOver)
        return;
    if (lineActive) {
        writeOut("\n");
        lineActive = false;
        lastLineLength = 0;
    }
    writeOut(newLine + "\n");
}

void ConsoleHost::popup(QString, QString popupText)
{
    updateConsole(popupText);
}

void ConsoleHost::printStatusLine()
{
    if (runOver)
        return;
    // A maximum of exactly 1 marks a label without a value, which the console doesn't show.
    if (maxProgress1 == 1)
        return;
    if (maxProgress2 == 1 && infoText.isEmpty())
        return;
    if (lineActive)
        writeOut("\r");

    QString line = esc + "[1;34m" + withPercentage(format1, progress1, maxProgress1);
    if (maxProgress2 != 1)
        line += ", " + esc + "[1;35m" + withPercentage(format2, progress2, maxProgress2);
    if (!infoText.isEmpty())
        line += esc + "[0m | " + infoText;
    writeOut(line);
    lineActive = true;
    if (lastLineLength > line.length())
        writeOut(QString(lastLineLength - line.length(), ' '));
    lastLineLength = int(line.length());
}
