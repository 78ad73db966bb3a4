#include "frontends/MainWindowHost.h"

#include "updater/Updater.h"

#include <QCoreApplication>
#include <QDebug>

MainWindowHost::MainWindowHost(QString exePath, QString branch, QString profile, QStringList launchArguments,
                               bool launchOnly, bool server, QWidget* parent)
    : QMainWindow(parent, Qt::FramelessWindowHint)
{
    updater = new Updater(exePath, branch, profile, launchArguments, launchOnly, server, false, this);
    connect(updater, &Updater::updateProgressBar1, this, &MainWindowHost::updateProgressBar1);
    connect(updater, &Updater::updateProgressBar2, this, &MainWindowHost::updateProgressBar2);
    connect(updater, &Updater::updateInfoText, this, &MainWindowHost::updateInfoText);
    connect(updater, &Updater::updateFailed, this, &MainWindowHost::updateFailed);
    connect(updater, &Updater::updateDone, this, &MainWindowHost::updateDone);
    connect(updater, &Updater::popup, this, &MainWindowHost::popup);
    connect(updater, &Updater::handleOptionalUpdate, this, &MainWindowHost::handleOptionalUpdate);
    updater->go();
}

MainWindowHost::~MainWindowHost() = default;

void MainWindowHost::updateProgressBar1(QString, qlonglong, qlonglong)
{
}

void MainWindowHost::updateProgressBar2(QString, qlonglong, qlonglong)
{
}

void MainWindowHost::updateInfoText(QString, QString)
{
}

void MainWindowHost::updateFailed(QString error, QString title)
{
    qDebug() << title << error;
    QCoreApplication::quit();
}

void MainWindowHost::updateDone()
{
    QCoreApplication::quit();
}

void MainWindowHost::popup(QString, QString)
{
}

void MainWindowHost::handleOptionalUpdate()
{
    updater->optionalUpdateNo();
}
