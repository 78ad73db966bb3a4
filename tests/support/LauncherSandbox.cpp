#include "LauncherSandbox.h"

#include "TestUpdateServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

LauncherSandbox::LauncherSandbox() : temp(keyFileTemplate())
{
    for (const char* sub : {"data", "home"})
        QDir(dir.path()).mkpath(sub);
}

QString LauncherSandbox::keyFileTemplate()
{
    const QFileInfo shm("/dev/shm");
    return shm.isDir() && shm.isWritable() ? QStringLiteral("/dev/shm/pelwinter-tmp-XXXXXX")
                                           : QDir::tempPath() + "/pelwinter-tmp-XXXXXX";
}

bool LauncherSandbox::isValid() const
{
    return dir.isValid() && temp.isValid();
}

QString LauncherSandbox::root() const
{
    return dir.path();
}

QString LauncherSandbox::dataDir() const
{
    return dir.path() + "/data";
}

QString LauncherSandbox::tempDir() const
{
    return temp.path();
}

QString LauncherSandbox::installsDir() const
{
    return dataDir() + "/pelwinter-launcher/pelwinter-installs";
}

QString LauncherSandbox::installDir(const QString& profile) const
{
    return installsDir() + "/" + profile;
}

QString LauncherSandbox::logPath() const
{
    return dataDir() + "/pelwinter-launcher/pelwinter-launcher.log";
}

QString LauncherSandbox::readLog() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QStringList LauncherSandbox::logMessages() const
{
    static const QRegularExpression prefix("^\\[0x[0-9a-f]+ *\\|\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] ");
    QStringList lines = readLog().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QString& line : lines)
        line.remove(prefix);
    return lines;
}

QProcessEnvironment LauncherSandbox::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", dataDir());
    env.insert("HOME", dir.path() + "/home");
    env.insert("TMPDIR", tempDir());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // The launcher asks this program's own port, where its server runs or nothing answers.
    env.insert(TEST_SERVER_PORT_VARIABLE, QString::number(TestUpdateServer::launcherPort()));
    for (const QString& name : extra.keys())
        env.insert(name, extra.value(name));
    return env;
}

void LauncherSandbox::start(QProcess& process, const QString& binary, const QStringList& arguments) const
{
    process.setProcessEnvironment(environment());
    process.setWorkingDirectory(dir.path());
    process.start(binary, arguments);
}

LauncherSandbox::Result LauncherSandbox::run(const QString& binary, const QStringList& arguments,
                                             int timeoutMSecs) const
{
    Result result;
    QProcess process;
    start(process, binary, arguments);
    if (!process.waitForStarted())
        return result;
    result.pid = process.processId();
    result.finished = process.waitForFinished(timeoutMSecs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void LauncherSandbox::setEnv(const QString& name, const QString& value)
{
    extra.insert(name, value);
}

bool LauncherSandbox::containsInOrder(const QStringList& lines, const QStringList& wanted)
{
    for (int start = 0; start + wanted.size() <= lines.size(); ++start) {
        if (lines.mid(start, wanted.size()) == wanted)
            return true;
    }
    return false;
}
