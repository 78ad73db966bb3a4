#include "BuildCaCertificates.h"
#include "BuildConfig.h"
#include "CommandLine.h"
#include "SingleInstanceGuard.h"
#include "ThreadSafeLogWriter.h"
#include "frontends/ConsoleHost.h"
#include "frontends/MainWindowHost.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFontDatabase>
#include <QSslSocket>
#include <QStandardPaths>
#include <QThread>
#include <memory>
#include <optional>

int main(int argc, char* argv[])
{
    SingleInstanceGuard guard("3c7e51d2-8a04-4f6b-b9e2-0d5a6c41f873");
    bool acquired = false;
    for (int attempt = 1; attempt <= 5 && !(acquired = guard.tryAcquire()); ++attempt) {
        if (attempt < 5)
            QThread::msleep(static_cast<unsigned long>(BuildConfig::retryPolicy().instancePauseMSecs));
    }
    // Nothing may be opened or written before this point: the running launcher owns the log.
    if (!acquired)
        return 1;

    int exitCode = 0;
    {
        ThreadSafeLogWriter logWriter(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                      "/pelwinter-launcher/pelwinter-launcher.log");
        qDebug() << "SSL library version:" << QSslSocket::sslLibraryVersionString();
        qDebug() << "SSL library build version:" << QSslSocket::sslLibraryBuildVersionString();
        const int trusted = installBuildCaCertificates();
        if (trusted > 0)
            qDebug() << "Trusting" << trusted << "built-in CA certificates besides the system roots.";

        QCommandLineParser parser;
        CommandLine::setUpParser(parser);
        std::unique_ptr<QCoreApplication> app = std::make_unique<QCoreApplication>(argc, argv);
        {
            const QCommandLineOption guiOption = CommandLine::guiOption();
            const QCommandLineOption serverOption = CommandLine::serverOption();
            const QCommandLineOption branchOption = CommandLine::branchOption();
            parser.addOption(guiOption);
            parser.addOption(serverOption);
            parser.addOption(branchOption);
            // parse(), not process(): a bad command line never ends the run, and help and
            // version are never printed.
            parser.parse(QCoreApplication::arguments());
            {
                const QString branchValue = parser.value(branchOption);
                const bool server = parser.isSet(serverOption);
                qDebug() << "Server:" << server;
                const CommandLine::BranchChoice choice = CommandLine::splitBranchValue(branchValue);
                if (choice.named)
                    qDebug() << "Profile:" << choice.profile;
                qDebug() << "Branch:" << choice.branch;
                const QStringList launchArguments = parser.positionalArguments();
                const QString exePath = QString::fromUtf8(argv[0]);
                const bool gui = parser.isSet(guiOption);
                const bool launchOnly = false;

                if (!gui) {
                    qDebug() << "Running in headless mode.";
                    ConsoleHost host(exePath, choice.branch, choice.profile, launchArguments, launchOnly, server);
                    host.start();
                    exitCode = QCoreApplication::exec();
                } else {
                    qDebug() << "Running in UI mode.";
                    qDebug() << "Upgrading application to enable UI capabilities.";
                    app.reset();
                    app = std::make_unique<QApplication>(argc, argv);
                    QFontDatabase::addApplicationFont(":/GlacialIndiffTweak-Bold.otf");
                    MainWindowHost host(exePath, choice.branch, choice.profile, launchArguments, launchOnly, server);
                    host.show();
                    exitCode = QCoreApplication::exec();
                }
            }
        }
        app.reset();
    }
    return exitCode;
}
