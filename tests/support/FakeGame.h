#pragma once

#include "Files.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Puts the stand-in game script (tests/support/fake-game) where the launcher looks for the game
// or the dedicated server, and reads back what it recorded when it ran.
namespace FakeGame
{
enum class Kind
{
    Game,
    Server
};

// Path of the executable inside an install directory, as the launcher composes it.
QString executablePath(const QString& installDir, Kind kind = Kind::Game);

// Copies the script at scriptPath to executablePath(installDir, kind), making the folders;
// returns the path.
QString installFrom(const QString& scriptPath, const QString& installDir, Kind kind);

// The same with the script of this source tree (TEST_SUPPORT_DIR is set for test programs and the
// support library, not for benchmarks).
#ifdef TEST_SUPPORT_DIR
inline QString install(const QString& installDir, Kind kind = Kind::Game)
{
    return installFrom(QStringLiteral(TEST_SUPPORT_DIR) + "/fake-game", installDir, kind);
}

// The script's bytes, for trees that hold the game as a file among others; empty when unreadable.
inline QByteArray script()
{
    return readFile(QStringLiteral(TEST_SUPPORT_DIR) + "/fake-game");
}
#endif

struct Record
{
    bool found = false; // the record file exists
    qint64 pid = 0;
    QStringList arguments;
};

// Waits up to timeoutMSecs for the record (the game starts detached, so it may come late).
Record readRecord(const QString& recordPath, int timeoutMSecs = 5000);
} // namespace FakeGame
