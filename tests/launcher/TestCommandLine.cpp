#include "CommandLine.h"

#include <QTest>

class TestCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void readsTheCommandLine_data();
    void readsTheCommandLine();
};

void TestCommandLine::readsTheCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("gui");
    QTest::addColumn<bool>("server");
    QTest::addColumn<QString>("profile");
    QTest::addColumn<QString>("branch");
    QTest::addColumn<bool>("named");
    QTest::addColumn<QStringList>("positional");

    QTest::newRow("no arguments") << QStringList() << false << false << "main"
                                  << "main" << false << QStringList();
    QTest::newRow("value without colon is install name and branch")
        << QStringList{"--branch=beta"} << false << false << "beta"
        << "beta" << false << QStringList();
    QTest::newRow("install name comes first, branch second")
        << QStringList{"--branch=main:Install1"} << false << false << "main"
        << "Install1" << true << QStringList();
    QTest::newRow("further pieces ignored") << QStringList{"--branch=a:b:c"} << false << false << "a"
                                            << "b" << true << QStringList();
    QTest::newRow("empty pieces dropped") << QStringList{"--branch=::a::b:"} << false << false << "a"
                                          << "b" << true << QStringList();
    QTest::newRow("trailing colon keeps the whole value") << QStringList{"--branch=a:"} << false << false << "a:"
                                                          << "a:" << false << QStringList();
    QTest::newRow("leading colon keeps the whole value") << QStringList{"--branch=:a"} << false << false << ":a"
                                                         << ":a" << false << QStringList();
    QTest::newRow("empty value") << QStringList{"--branch="} << false << false << ""
                                 << "" << false << QStringList();
    QTest::newRow("short option with separate value") << QStringList{"-b", "x:y"} << false << false << "x"
                                                      << "y" << true << QStringList();
    QTest::newRow("long option with separate value") << QStringList{"--branch", "x:y"} << false << false << "x"
                                                     << "y" << true << QStringList();
    QTest::newRow("single-dash long name") << QStringList{"-branch=x:y", "-gui", "-server"} << true << true << "x"
                                           << "y" << true << QStringList();
    QTest::newRow("last branch value counts")
        << QStringList{"-b", "first", "--branch=second"} << false << false << "second"
        << "second" << false << QStringList();
    QTest::newRow("one-letter switches") << QStringList{"-g", "-s"} << true << true << "main"
                                         << "main" << false << QStringList();
    QTest::newRow("two-dash switches") << QStringList{"--gui", "--server"} << true << true << "main"
                                       << "main" << false << QStringList();
    QTest::newRow("unknown dashed arguments dropped")
        << QStringList{"--fullscreen", "-windowed", "-x", "map"} << false << false << "main"
        << "main" << false << QStringList{"map"};
    QTest::newRow("positional between options keeps its order")
        << QStringList{"one", "-s", "two words", "-b", "beta", "three"} << false << true << "beta"
        << "beta" << false << QStringList{"one", "two words", "three"};
    QTest::newRow("everything after -- passes on")
        << QStringList{"a", "--", "--gui", "-b", "x", "--"} << false << false << "main"
        << "main" << false << QStringList{"a", "--gui", "-b", "x", "--"};
    QTest::newRow("a lone dash is positional") << QStringList{"-"} << false << false << "main"
                                               << "main" << false << QStringList{"-"};
    QTest::newRow("help and version are recognised, not positional")
        << QStringList{"--help", "-h", "--version", "-v", "-help", "game"} << false << false << "main"
        << "main" << false << QStringList{"game"};
}

void TestCommandLine::readsTheCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, gui);
    QFETCH(bool, server);
    QFETCH(QString, profile);
    QFETCH(QString, branch);
    QFETCH(bool, named);
    QFETCH(QStringList, positional);

    QCommandLineParser parser;
    CommandLine::setUpParser(parser);
    const QCommandLineOption guiOption = CommandLine::guiOption();
    const QCommandLineOption serverOption = CommandLine::serverOption();
    const QCommandLineOption branchOption = CommandLine::branchOption();
    parser.addOption(guiOption);
    parser.addOption(serverOption);
    parser.addOption(branchOption);
    parser.parse(QStringList{"pelwinter-launcher"} + arguments);

    QCOMPARE(parser.isSet(guiOption), gui);
    QCOMPARE(parser.isSet(serverOption), server);
    const CommandLine::BranchChoice choice = CommandLine::splitBranchValue(parser.value(branchOption));
    QCOMPARE(choice.profile, profile);
    QCOMPARE(choice.branch, branch);
    QCOMPARE(choice.named, named);
    QCOMPARE(parser.positionalArguments(), positional);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "TestCommandLine.moc"
