#pragma once
// Running a program, and the real dirpatch above all, from a test: its exit code (-2 when it was
// killed, -1 when it did not end within 30 s), its output, the environment and user it runs with, and a run
// held at a chosen step while the test acts.
// Header-only, since the paths of dirpatch (DIRPATCH_BINARY) and of the fault module (LAUNCHER_FAULTS)
// are given to each test program that runs them.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <QTest>
#include <unistd.h>

struct ProcessResult
{
    int code = -1;
    bool killed = false;
    qint64 msecs = 0;
    QByteArray out;
    QByteArray err;
};

// This process's environment with the variables of env ("NAME=value") added.
inline QProcessEnvironment environmentWith(const QStringList& env)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& pair : env)
        environment.insert(pair.section('=', 0, 0), pair.section('=', 1));
    return environment;
}

// command with the variables of env added to this process's environment.
inline ProcessResult runProcess(const QStringList& command, const QStringList& env = {},
                                const QString& workDir = QString())
{
    QProcess process;
    process.setProcessEnvironment(environmentWith(env));
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
// with why not, where this test can't drop its privileges or that user can't run dirpatch from here. The
// user's group is 65534 too, and it is a member of the groups given ("4242,4243"), of none without.
inline QStringList unprivilegedPrefix(QString* whyNot, const QString& groups = QString())
{
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (setpriv.isEmpty() || getuid() != 0) {
        *whyNot = "needs root and setpriv to run the patch as an unprivileged user";
        return {};
    }
    const QStringList prefix{setpriv, "--reuid=65534", "--regid=65534",
                             groups.isEmpty() ? QString("--clear-groups") : "--groups=" + groups};
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

// Stops the run right before the count-th operation at holdPoint, until holdFile (which it makes) is removed.
inline QStringList holdAt(const QString& holdPoint, int count, const QString& holdFile)
{
    return withFaults({"PELWINTER_FAULT_HOLD_AT_PATH=" + holdPoint,
                       "PELWINTER_FAULT_HOLD_AT_PATH_COUNT=" + QString::number(count),
                       "PELWINTER_FAULT_HOLD_FILE=" + holdFile});
}
#endif

// Starts command with the variables of env added to its environment; true once it stands at its hold
// point, that is once holdFile exists (see holdAt).
inline bool startHeld(QProcess& process, const QStringList& command, const QStringList& env, const QString& holdFile)
{
    process.setProcessEnvironment(environmentWith(env));
    process.start(command.first(), command.mid(1));
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(holdFile) && process.state() != QProcess::NotRunning && timer.elapsed() < 20000)
        QTest::qWait(5);
    return QFileInfo::exists(holdFile);
}

// Lets a held run go on and waits for its exit code (-2 when it was killed, -1 when it did not end in 30 s).
inline int finishHeld(QProcess& process, const QString& holdFile)
{
    QFile::remove(holdFile);
    if (!process.waitForFinished(30000))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

// What a folder holds, hidden entries too, by name.
inline QStringList entriesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
}
