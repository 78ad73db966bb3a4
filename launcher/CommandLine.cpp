#include "CommandLine.h"

#include <QStringList>

namespace CommandLine
{
void setUpParser(QCommandLineParser& parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription("Pelwinter Launcher");
    parser.addHelpOption();
    parser.addVersionOption();
}

QCommandLineOption guiOption()
{
    return QCommandLineOption({"g", "gui"}, "Runs the launcher with GUI. Normally used only by the .desktop files.");
}

QCommandLineOption serverOption()
{
    return QCommandLineOption({"s", "server"}, "Starts the dedicated server rather than the game.");
}

QCommandLineOption branchOption()
{
    return QCommandLineOption({"b", "branch"},
                              "Selects the version branch to use. Use a colon (:) to specify a custom name (e.g. "
                              "--branch=\"main:Install1\").",
                              "branch", "main");
}

BranchChoice splitBranchValue(const QString& value)
{
    const QStringList pieces = value.split(':', Qt::SkipEmptyParts);
    if (pieces.size() >= 2)
        return {pieces.at(0), pieces.at(1), true};
    return {value, value, false};
}
} // namespace CommandLine
