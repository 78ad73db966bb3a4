#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

// The launcher's command line: parser settings, its three options and the reading of the
// branch value. main owns the parser and the options; these build them the same way for main
// and for the tests.
namespace CommandLine
{
// Single-dash words are long names ("-gui" is "--gui"); help and version are registered so that
// they are recognised, but nothing ever prints them.
void setUpParser(QCommandLineParser& parser);

QCommandLineOption guiOption();
QCommandLineOption serverOption();
QCommandLineOption branchOption();

struct BranchChoice
{
    QString profile; // the install name
    QString branch;  // the release branch
    bool named;      // the value named an install and a branch ("name:branch")
};

// "name:branch" names an install and its branch (empty pieces dropped, further pieces ignored);
// any other value is both, exactly as written.
BranchChoice splitBranchValue(const QString& value);
} // namespace CommandLine
