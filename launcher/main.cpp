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
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace
{
void ignorePipeSignal(int) {}

// A reader of standard output that goes away (a closed pipe, a desktop that no longer reads) must not
// end the launcher: its writes then fail with EPIPE, which the console handles. A handler that does
// nothing rather than SIG_IGN, since an ignored signal would stay ignored in the game and the dedicated
// server we start, while exec resets a handled one to its default. Installed while the process still
// has one thread, so every thread created later shares it. (Qt's socket engine sets SIG_IGN at its first
// write all the same; the launch of the server puts the default back before its exec.)
void survivePipeSignal()
{
    struct sigaction action = {};
    action.sa_handler = ignorePipeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}

// Standard input, output or error closed by whoever started us: the next file we open would take that
// number, and the console or a stray message would be written into it (the log file, say). Each closed
// one is held by /dev/null instead, before anything else opens a file.
void fillClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower descriptors are open by now, so this takes fd itself.
        const int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd)
            close(opened);
    }
}
} // namespace

int main(int argc, char* argv[])
{
    fillClosedStandardDescriptors();
    survivePipeSignal();

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
