#include "updater/Updater.h"

#include <QDebug>
#include <QFile>
#include <QProcess>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>
#include <vector>

void Updater::launchGame(QString failureText)
{
    qDebug() << "Trying to launch Pelwinter.";
    emit updateProgressBar1("LAUNCHING PELWINTER");
    emit updateProgressBar2("");
    emit updateInfoText("", "");

    const QString baseName = server ? "PelwinterServer" : "Pelwinter";
    const QString executableName = baseName + "-" + binariesPlatformName() + "-Shipping" + executableSuffix();
    const QString executablePath =
        installDirPath() + "/Pelwinter/Binaries/" + binariesPlatformName() + "/" + executableName;
    qDebug() << "Attempting to run:" << executablePath << "with arguments:" << launchArguments;

    if (!QFile::exists(executablePath)) {
        qDebug() << "Target executable does not exist.";
    } else if (server) {
        // The dedicated server takes over this process (same id, environment and streams), so
        // server hosts can supervise it as if they had started it themselves.
        const QByteArray program = executablePath.toUtf8();
        QByteArrayList encoded;
        encoded.reserve(launchArguments.size());
        for (const QString& argument : launchArguments)
            encoded.append(argument.toUtf8());
        std::vector<char*> argv;
        argv.reserve(encoded.size() + 2);
        argv.push_back(const_cast<char*>(program.constData()));
        for (QByteArray& argument : encoded)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        // Qt's socket engine sets SIGPIPE to SIG_IGN at its first write, and an ignored signal would stay
        // ignored in the server; a handled one is reset by exec. The launcher's own handler goes back in
        // place should exec fail.
        struct sigaction pipeAction = {};
        struct sigaction launcherAction = {};
        pipeAction.sa_handler = SIG_DFL;
        sigemptyset(&pipeAction.sa_mask);
        sigaction(SIGPIPE, &pipeAction, &launcherAction);
        execvp(program.constData(), argv.data());
        const int error = errno;
        sigaction(SIGPIPE, &launcherAction, nullptr);
        errno = error;
        qDebug() << "Error:" << QString::fromLocal8Bit(std::strerror(errno));
        qDebug() << "Failed to create process.";
    } else if (QProcess::startDetached(executablePath, launchArguments, QString())) {
        qDebug() << "Pelwinter launched successfully.";
        emit updateDone();
        return;
    } else {
        qDebug() << "Failed to create process.";
    }

    qDebug() << "Failed to launch Pelwinter.";
    emit updateFailed(failureText, "Launch Failed!");
}
