#include "updater/LinkResolution.h"
#include "updater/Updater.h"

#include <QStandardPaths>

// Where the launcher keeps everything on disk: the shared download folder, and for each install
// its directory, receipt, staging and aside folders and the patch files it downloads.

namespace
{
QString dataDirPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}
} // namespace

QString Updater::tempDirPath() const
{
    return dataDirPath() + "/pelwinter-launcher/pelwinter-installs/temp";
}

QString Updater::installDirPath() const
{
    return dataDirPath() + "/pelwinter-launcher/pelwinter-installs/" + profile;
}

QString Updater::installReceiptPath() const
{
    return installDirPath() + ".json";
}

QString Updater::installTargetPath() const
{
    // A link that goes round in a circle is refused at start; the install directory stands in.
    const QString target = endOfLinks(installDirPath());
    return target.isEmpty() ? installDirPath() : target;
}

QString Updater::stagingDirPath() const
{
    return installTargetPath() + "_new";
}

QString Updater::asideDirPath() const
{
    return installTargetPath() + "_new_new";
}

QString Updater::patchFilePath(int index) const
{
    return tempDirPath() + "/patch_" + QString::number(index) + ".diff";
}
