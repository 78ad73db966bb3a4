#include "updater/Updater.h"

#include <utility>

// The Updater's construction and the names of this platform. Each other part of the class has a
// file named for it, here and in stages/.

Updater::Updater(QString exePath, QString branch, QString profile, QStringList launchArguments, bool launchOnly,
                 bool server, bool headless, QObject* parent)
    : QObject(parent), exePath(std::move(exePath)), branch(std::move(branch)), profile(std::move(profile)),
      launchArguments(std::move(launchArguments)), launchOnly(launchOnly), server(server), headless(headless)
{}

Updater::~Updater() = default;

QString Updater::platformName() const
{
    return QStringLiteral("linux");
}

QString Updater::binariesPlatformName() const
{
    return QStringLiteral("Linux");
}

QString Updater::executableSuffix() const
{
    return QString();
}
