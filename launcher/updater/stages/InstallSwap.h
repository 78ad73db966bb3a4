#pragma once

#include <QString>

// After a patch the staging directory replaces the install. The old install is first moved aside,
// so that a complete install is on disk at every moment: a run killed between the two renames
// leaves the old install beside the missing install directory, and the next start moves it back.
//
// The aside directory's name ends in "_new_new": no install name may end in "_new", so this is
// neither another install nor another install's staging directory.
QString movedAsideInstallPath(const QString& installDir);

// Called at start, before left-over staging directories are removed: an install directory that is
// missing gets its moved-aside copy back; a moved-aside copy beside a present install is what a
// finished swap had yet to remove, and goes. Returns false when the aside copy could not be handled.
bool restoreMovedAsideInstall(const QString& installDir);
