#include "updater/LinkResolution.h"
#include "updater/Updater.h"

#include <QDebug>
#include <QMetaObject>

// The check every run starts with: an install name that could reach other launcher files, or an
// install directory that is a link leading round in a circle, is refused before anything on disk
// changes.

bool Updater::isUnsafeInstallName(const QString& name)
{
    // In the installs folder an install owns "<name>", "<name>.json", "<name>_new" and
    // "<name>_new_new", and all installs share "temp". Two names n and m meet in one of those only
    // when n + s = m + t for two different of those suffixes s and t, that is when one name is the
    // other with ".json", "_new" or "_new_new" added; so no name may end in ".json" or "_new". Only
    // "temp" itself lands on "temp", as every other path ends in a suffix "temp" lacks. A name that
    // is the installs folder itself or leaves it could meet anything. Suffixes are compared without
    // case: the folder may be on a file system that ignores it.
    return name.isEmpty() || name == "." || name == ".." || name.contains('/') ||
           name.compare("temp", Qt::CaseInsensitive) == 0 || name.endsWith("_new", Qt::CaseInsensitive) ||
           name.endsWith(".json", Qt::CaseInsensitive);
}

bool Updater::refuseUnsafeInstallName()
{
    QString error;
    if (isUnsafeInstallName(profile)) {
        qDebug() << "Refusing install name" << profile;
        error = "The install name \"" + profile +
                "\" can't be used: it would overwrite other launcher files.\n"
                "Choose another name with --branch=\"name:branch\".";
    } else if (endOfLinks(installDirPath()).isEmpty()) {
        // There is no folder to update, and none beside which the update could be made.
        qDebug() << "The install directory is a link that leads round in a circle:" << installDirPath();
        error = "The install folder \"" + installDirPath() +
                "\" is a symbolic link that leads back to itself.\nPoint it at the folder that holds the game.";
    } else {
        return false;
    }
    // Reported from the event loop: a quit requested before the loop runs would be lost.
    QMetaObject::invokeMethod(
        this, [this, error] { emit updateFailed(error, "Init Failed!"); }, Qt::QueuedConnection);
    return true;
}
