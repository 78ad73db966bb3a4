#include "frontends/ConsoleHost.h"

#include "BuildConfig.h"
#include "updater/Updater.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <wchar.h>

namespace
{
const QString esc = QString(QChar(27));

// The columns of the terminal that standard output is, asked anew at every redraw so that a resized
// window is followed; 0 when standard output is no terminal or the terminal doesn't say.
int terminalColumns()
{
    winsize size = {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

int columnsOf(char32_t code)
{
    const int width = ::wcwidth(wchar_t(code));
    // Unknown to the locale (the C locale knows only ASCII): taken as one column.
    return width >= 0 ? width : 1;
}

// text without the characters that would go past the given number of visible columns. Escape
// sequences take no column and are all kept, those after the cut too, so that the colours are left
// as the whole line leaves them.
QString cutToColumns(const QString& text, int columns)
{
    QString cut;
    cut.reserve(text.size());
    int used = 0;
    bool full = false;
    for (qsizetype i = 0; i < text.size();) {
        if (text[i] == esc[0]) {
            qsizetype end = i + 1;
            if (end < text.size() && text[end] == QLatin1Char('[')) {
                ++end;
                while (end < text.size() && (text[end].unicode() < 0x40 || text[end].unicode() > 0x7e))
                    ++end;
            }
            end = qMin(end + 1, text.size());
            cut += QStringView(text).mid(i, end - i);
            i = end;
            continue;
        }
        const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const char32_t code = pair ? QChar::surrogateToUcs4(text[i], text[i + 1]) : text[i].unicode();
        const qsizetype units = pair ? 2 : 1;
        const int width = columnsOf(code);
        full = full || used + width > columns;
        if (!full) {
            cut += QStringView(text).mid(i, units);
            used += width;
        }
        i += units;
    }
    return cut;
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
    // A line that can't be written at all leaves the status line where it was.
    if (writeOut((lineActive ? "\n" : "") + newLine + "\n", BuildConfig::retryPolicy().consoleWriteWaitMSecs) > 0) {
        lineActive = false;
        lastLineLength = 0;
    }
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

    QString line = esc + "[1;34m" + withPercentage(format1, progress1, maxProgress1);
    if (maxProgress2 != 1)
        line += ", " + esc + "[1;35m" + withPercentage(format2, progress2, maxProgress2);
    if (!infoText.isEmpty())
        line += esc + "[0m | " + infoText;
    QString shown = line;
    if (lastLineLength > line.length())
        shown += QString(lastLineLength - line.length(), ' ');
    // A redraw wider than the terminal would wrap, and the carriage return of the next one would go
    // back only to the start of its last row.
    const int columns = terminalColumns();
    if (columns > 0)
        shown = cutToColumns(shown, columns - 1);
    // Redraws come often and each replaces the one before: one that can't be written at once is dropped.
    if (writeOut((lineActive ? "\r" : "") + shown, 0) == 0)
        return;
    lineActive = true;
    lastLineLength = int(line.length());
}

// Writes text to standard output, waiting at most waitMSecs for it to take the text; what it hasn't
// taken by then is dropped. Returns the bytes written. The descriptor's flags are never changed: it
// is shared with whoever started us. The first write that fails ends console output for the run.
qsizetype ConsoleHost::writeOut(const QString& text, int waitMSecs)
{
    if (consoleGone)
        return 0;
    const QByteArray bytes = text.toUtf8();
    const QDeadlineTimer deadline(waitMSecs);
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        pollfd out = {STDOUT_FILENO, POLLOUT, 0};
        const int ready = ::poll(&out, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            break;
        int failure = ready < 0 ? errno : (out.revents & POLLNVAL) ? EBADF : 0;
        if (failure == 0) {
            // No more than a pipe takes in one piece, so that a write after POLLOUT finds room for all of it.
            const size_t count = size_t(qMin<qsizetype>(bytes.size() - sent, PIPE_BUF));
            const ssize_t written = ::write(STDOUT_FILENO, bytes.constData() + sent, count);
            if (written > 0) {
                sent += written;
                continue;
            }
            if (written < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            failure = written < 0 ? errno : EIO;
        }
        consoleGone = true;
        qDebug() << "Standard output failed:" << QString::fromLocal8Bit(std::strerror(failure))
                 << "- nothing more is shown on the console.";
        break;
    }
    return sent;
}
