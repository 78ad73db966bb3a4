#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private world for running the real launcher binary: XDG_DATA_HOME and HOME point into one
// temporary folder and TMPDIR into another, so every run has its own data directory, log file and
// single-instance lock (the lock lives under TMPDIR).
class LauncherSandbox
{
public:
    LauncherSandbox();

    bool isValid() const;
    QString root() const;
    QString dataDir() const; // XDG_DATA_HOME
    QString tempDir() const; // TMPDIR (on a tmpfs where there is one, see keyFileTemplate())
    QString installsDir() const;
    QString installDir(const QString& profile = "main") const;
    QString logPath() const;
    QString readLog() const;
    // Lines of the log without their "[thread|time] " prefix; header and footer lines unchanged.
    QStringList logMessages() const;

    QProcessEnvironment environment() const;
    // Starts the binary in the sandbox without waiting; stdout and stderr are kept apart.
    void start(QProcess& process, const QString& binary, const QStringList& arguments) const;

    struct Result
    {
        bool finished = false; // ended within the timeout (the process is killed otherwise)
        int exitCode = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        qint64 pid = 0;
        QByteArray out;
        QByteArray err;
    };
    Result run(const QString& binary, const QStringList& arguments, int timeoutMSecs = 60000) const;

    // Whether wanted appears in lines as one unbroken run, in order (e.g. consecutive log lines).
    static bool containsInOrder(const QStringList& lines, const QStringList& wanted);

    // Extra environment for every later start (e.g. FAKE_GAME_RECORD).
    void setEnv(const QString& name, const QString& value);

    // A new folder for the key files of a single-instance lock, as TMPDIR. The lock's System V keys
    // are made from the low 16 bits of the key files' inode numbers: on a disk that soon hands
    // freed inodes out again, launchers of test programs running side by side can get the same
    // key and take each other for a running launcher. A tmpfs numbers its inodes one after another.
    static QString keyFileTemplate();

private:
    QTemporaryDir dir;
    QTemporaryDir temp;
    QProcessEnvironment extra;
};
