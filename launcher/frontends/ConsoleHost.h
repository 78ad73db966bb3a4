#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class Updater;

// Front end of headless mode: creates the Updater as its child and shows the run on standard
// output as permanent lines plus one status line redrawn in place. Quits the event loop when
// the Updater reports updateDone() or updateFailed().
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
    int lastLineLength = 0;
};
