#include "frontends/MainWindowHost.h"

#include "frontends/MainWindowForm.h"
#include "updater/Updater.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>

// The launcher is linked from a static library, where nothing would otherwise pull in the compiled
// resources: register them before main() runs, so that the font, the picture and the icons are there
// from the start of the process.
static void registerLauncherResources()
{
    Q_INIT_RESOURCE(launcher);
}
Q_CONSTRUCTOR_FUNCTION(registerLauncherResources)

namespace
{
// The launcher's own version number, the one the branch manifest's "launcher_version" is checked
// against; the window shows it as "v1.<number>".
const int launcherVersionNumber = 5;

// Shows a 64-bit progress on a bar whose range is 32-bit: both values are scaled down alike until the
// maximum fits, which keeps their ratio (up to truncation) and so the percentage.
void setProgressBar(QProgressBar* bar, const QString& format, qlonglong progress, qlonglong maxProgress)
{
    while (maxProgress >= (qlonglong(1) << 31)) {
        maxProgress >>= 10;
        progress /= 1024;
    }
    bar->setFormat(format);
    bar->setMinimum(0);
    bar->setMaximum(int(maxProgress));
    bar->setValue(int(progress));
}
} // namespace

MainWindowHost::MainWindowHost(QString exePath, QString branch, QString profile, QStringList launchArguments,
                               bool launchOnly, bool server, QWidget* parent)
    : QMainWindow(parent, Qt::FramelessWindowHint)
{
    form = new MainWindowForm;
    pressPos = QPoint(0, 0);
    form->setupUi(this);
    setWindowFlag(Qt::Dialog);

    dragging = false;
    form->titleBar->installEventFilter(this);

    form->versionTextLabel->setText(QString::asprintf("v1.%d", launcherVersionNumber));

    connect(form->minimizeButton, &QPushButton::released, this, &MainWindowHost::showMinimized);
    connect(form->closeButton, &QPushButton::released, this, &MainWindowHost::close);

    createUpdater(exePath, branch, profile, launchArguments, launchOnly, server);
}

MainWindowHost::~MainWindowHost()
{
    delete form;
}

void MainWindowHost::createUpdater(QString exePath, QString branch, QString profile, QStringList launchArguments,
                                   bool launchOnly, bool server)
{
    updater = new Updater(exePath, branch, profile, launchArguments, launchOnly, server, false, this);
    // updateConsole stays unconnected: its permanent lines are for the terminal only.
    connect(updater, &Updater::updateProgressBar1, this, &MainWindowHost::updateProgressBar1);
    connect(updater, &Updater::updateProgressBar2, this, &MainWindowHost::updateProgressBar2);
    connect(updater, &Updater::updateInfoText, this, &MainWindowHost::updateInfoText);
    connect(updater, &Updater::updateFailed, this, &MainWindowHost::updateFailed);
    connect(updater, &Updater::updateDone, this, &MainWindowHost::updateDone);
    connect(updater, &Updater::popup, this, &MainWindowHost::popup);
    connect(updater, &Updater::handleOptionalUpdate, this, &MainWindowHost::handleOptionalUpdate);
    // The window is still hidden here: main() shows it once the constructor has returned.
    updater->go();
}

void MainWindowHost::updateProgressBar1(QString format, qlonglong progress, qlonglong maxProgress)
{
    setProgressBar(form->downloadProgressBar, format, progress, maxProgress);
}

void MainWindowHost::updateProgressBar2(QString format, qlonglong progress, qlonglong maxProgress)
{
    setProgressBar(form->patchProgressBar, format, progress, maxProgress);
}

void MainWindowHost::updateInfoText(QString line1, QString line2)
{
    form->progressStatus1->setText(line1);
    form->progressStatus2->setText(line2);
}

void MainWindowHost::updateFailed(QString error, QString title)
{
    // The box runs its own event loop, so the Updater's jobs keep being served while it is open.
    QMessageBox::critical(this, title, error, QMessageBox::Ok);
    // Before the event loop runs (a failure inside go() during construction) this has no effect.
    QCoreApplication::quit();
}

void MainWindowHost::updateDone()
{
    QCoreApplication::quit();
}

void MainWindowHost::popup(QString title, QString popupText)
{
    QMessageBox::information(this, title, popupText, QMessageBox::Ok);
}

void MainWindowHost::handleOptionalUpdate()
{
    updater->optionalUpdateNo();
}

bool MainWindowHost::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == form->titleBar) {
        if (event->type() == QEvent::MouseButtonPress)
            dragging = true;
        else if (event->type() == QEvent::MouseButtonRelease)
            dragging = false;
    }
    // Never swallow the event: the press still travels on to the window, which records where it was.
    return false;
}

void MainWindowHost::mousePressEvent(QMouseEvent* event)
{
    pressPos = event->position().toPoint();
}

void MainWindowHost::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging)
        move(mapToParent(event->position().toPoint() - pressPos));
}
