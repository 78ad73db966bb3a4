#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class Updater;

// Front end of headless mode: creates the Updater as its child and shows the run on standard
// output as permanent lines plus one status line redrawn in place. Quits the event loop when
// the Updater reports updateDone() or updateFailed().
//
// The console never holds up or ends the run: a redraw that standard output can't take at once is
// dropped, a permanent line waits for it only briefly, and once a write fails (the reader is gone)
// the console stays silent. On a terminal each redraw is cut to the terminal's width so that it
// never wraps; anywhere else the bytes are those of the uncut line.
class ConsoleHost : public QObject
{
    Q_OBJECT
public:
    ConsoleHost(QString exePath, QString branch, QString profile, QStringList launchArguments, bool launchOnly,
                bool server, QObject* parent = nullptr);
    ~ConsoleHost() override;

    void start();

public slots:
    void updateProgressBar1(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateProgressBar2(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateInfoText(QString line1, QString line2);
    void updateFailed(QString error, QString title = "Update Failed!");
    void updateDone();
    void updateConsole(QString newLine);
    void popup(QString title, QString popupText);

private:
    void printStatusLine();
    qsizetype writeOut(const QString& text, int waitMSecs);

    Updater* updater;
    QString format1;
    QString format2;
    qlonglong progress1 = 0;
    qlonglong progress2 = 0;
    qlonglong maxProgress1 = 1;
    qlonglong maxProgress2 = 1;
    QString infoText;
    bool lineActive = false;
    // Set once the run has ended: quitting the event loop still lets queued updates through, and
    // nothing may follow the final line.
    bool runOver = false;
    // Set once a write to standard output has failed; nothing is written after that.
    bool consoleGone = false;
    int lastLineLength = 0;
};
