#pragma once
// Running a program, and the real dirpatch above all, from a test: its exit code (-2 when it was
// killed, -1 when it did not end within 30 s), its output, and the environment and user it runs with.
// Header-only, since the paths of dirpatch (DIRPATCH_BINARY) and of the fault module (LAUNCHER_FAULTS)
// are given to each test program that runs them.

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <unistd.h>

struct ProcessResult
{
    int code = -1;
    bool killed = false;
    qint64 msecs = 0;
    QByteArray out;
    QByteArray err;
};

// command with the variables of env ("NAME=value") added to this process's environment.
inline ProcessResult runProcess(const QStringList& command, const QStringList& env = {},
                                const QString& workDir = QString())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& pair : env)
        environment.insert(pair.section('=', 0, 0), pair.section('=', 1));
    process.setProcessEnvironment(environment);
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    QElapsedTimer timer;
    timer.start();
    process.start(command.first(), command.mid(1));
    ProcessResult result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.msecs = timer.elapsed();
    result.killed = process.exitStatus() != QProcess::NormalExit;
    result.code = result.killed ? -2 : process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

#ifdef DIRPATCH_BINARY
inline ProcessResult runDirpatch(const QStringList& args, const QStringList& env = {},
                                 const QString& workDir = QString())
{
    return runProcess(QStringList{DIRPATCH_BINARY} + args, env, workDir);
}

// The command prefix that runs a program as the unprivileged user 65534 (through setpriv), or nothing,
// with why not, where this test can't drop its privileges or that user can't run dirpatch from here.
inline QStringList unprivilegedPrefix(QString* whyNot)
{
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (setpriv.isEmpty() || getuid() != 0) {
        *whyNot = "needs root and setpriv to run the patch as an unprivileged user";
        return {};
    }
    const QStringList prefix{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
    if (runProcess(prefix + QStringList{DIRPATCH_BINARY, "-v"}).code != 0) {
        *whyNot = "the unprivileged user can't run the program from this build folder";
        return {};
    }
    return prefix;
}
#endif

#ifdef LAUNCHER_FAULTS
// The environment that preloads the fault module with the given faults. A sanitized program wants its
// sanitizer's runtime first among the libraries; the module only wraps calls, so that order may go.
inline QStringList withFaults(const QStringList& faults)
{
    QString asanOptions = qEnvironmentVariable("ASAN_OPTIONS");
    if (!asanOptions.isEmpty())
        asanOptions += ':';
    return QStringList{"LD_PRELOAD=" LAUNCHER_FAULTS, "ASAN_OPTIONS=" + asanOptions + "verify_asan_link_order=0"} +
           faults;
}
#endif

// What a folder holds, hidden entries too, by name.
inline QStringList entriesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
}
