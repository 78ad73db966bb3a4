#include "BenchTiming.h"

#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t startAfterSync(const QStringList& command, const QStringList& environment, const QString& folder,
                     const QString& outputPath, QElapsedTimer* timer)
{
    QList<QByteArray> arguments;
    for (const QString& argument : command)
        arguments.append(argument.toLocal8Bit());
    QList<char*> argv;
    for (QByteArray& argument : arguments)
        argv.append(argument.data());
    argv.append(nullptr);
    QList<QByteArray> assignments;
    for (const QString& assignment : environment)
        assignments.append(assignment.toLocal8Bit());
    const QByteArray directory = folder.toLocal8Bit();
    const QByteArray output = outputPath.toLocal8Bit();

    sync();
    fflush(stdout);
    timer->start();
    const pid_t child = fork();
    if (child == 0) {
        for (QByteArray& assignment : assignments)
            putenv(assignment.data());
        const int fd = open(output.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        if (!directory.isEmpty() && chdir(directory.constData()) != 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

TimedRun runTimed(const QStringList& command, const QString& folder, const QString& outputPath)
{
    QElapsedTimer timer;
    const pid_t child = startAfterSync(command, {}, folder, outputPath, &timer);
    TimedRun result;
    int status = 0;
    struct rusage usage = {};
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.peakMiB = double(usage.ru_maxrss) / 1024.0;
    }
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    return result;
}

double medianOf(QList<double> values)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

QString secondsList(const QList<double>& values)
{
    QStringList texts;
    for (double value : values)
        texts.append(QString::number(value, 'f', 2));
    return texts.join(' ');
}

QString loadAverages()
{
    QFile file("/proc/loadavg");
    if (!file.open(QIODevice::ReadOnly))
        return "unknown";
    const QList<QByteArray> fields = file.readAll().split(' ');
    return fields.size() >= 3 ? QString("%1 %2 %3").arg(fields[0], fields[1], fields[2]) : QString("unknown");
}
