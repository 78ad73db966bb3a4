#include "updater/stages/InstallSwap.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

QString movedAsideInstallPath(const QString& installDir)
{
    return installDir + "_new_new";
}

bool restoreMovedAsideInstall(const QString& installDir)
{
    const QString aside = movedAsideInstallPath(installDir);
    if (!QFileInfo::exists(aside))
        return true;
    if (!QFileInfo::exists(installDir)) {
        qDebug() << "Restoring the install an interrupted update moved aside:" << aside;
        return QDir().rename(aside, installDir);
    }
    qDebug() << "Removing the previous install left over by an interrupted update:" << aside;
    return QDir(aside).removeRecursively();
}
