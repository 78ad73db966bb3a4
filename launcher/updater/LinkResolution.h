#pragma once

#include <QString>

// The end of the chain of symbolic links that starts at path (path itself when it is no link),
// followed as the kernel would follow it, whether the end exists or not; empty when the chain goes
// round in a circle or can't be read.
QString endOfLinks(const QString& path);
