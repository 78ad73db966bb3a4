#pragma once

#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <QStringList>

class MainWindowForm;
class Updater;

// Front end of UI mode: a small frameless window with a draggable title bar, minimize and close
// buttons, the header picture, two progress bars and two status lines. It creates the Updater as
// its child and starts it from the constructor; failures and notices come up as modal message
// boxes, and updateDone() or a dismissed failure box quits the event loop.
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void createUpdater(QString exePath, QString branch, QString profile, QStringList launchArguments, bool launchOnly,
                       bool server);

    MainWindowForm* form;
    bool dragging;
    QPoint pressPos;
    Updater* updater;
};
