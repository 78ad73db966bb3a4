#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

class Updater;

// Front end of UI mode: creates the Updater as its child and starts it from the constructor;
// quits the event loop when the Updater reports updateDone() or updateFailed().
class MainWindowHost : public QMainWindow
{
    Q_OBJECT
public:
    MainWindowHost(QString exePath, QString branch, QString profile, QStringList launchArguments, bool launchOnly,
                   bool server, QWidget* parent = nullptr);
    ~MainWindowHost() override;

public slots:
    void updateProgressBar1(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateProgressBar2(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateInfoText(QString line1, QString line2);
    void updateFailed(QString error, QString title = "Update Failed!");
    void updateDone();
    void popup(QString title, QString popupText);
    void handleOptionalUpdate();

private:
    Updater* updater;
};
