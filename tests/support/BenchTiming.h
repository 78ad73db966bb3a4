#pragma once
// Timing for the benchmarks, which compare steps as medians of interleaved runs, each started with nothing
// left to write back from the steps before it, on a machine that others may be loading at the same time.
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <sys/types.h>

struct TimedRun
{
    int exitCode = -1;
    double seconds = 0;
    double peakMiB = 0; // the most resident memory the command had
};

// Runs sync, starts timer and then the command (argv[0] looked up in PATH) with the environment additions
// ("NAME=value") in folder (none: the current one), with its output in outputPath; the child's pid, -1 if
// it could not be started.
pid_t startAfterSync(const QStringList& command, const QStringList& environment, const QString& folder,
                     const QString& outputPath, QElapsedTimer* timer);

// Runs sync, then the command (argv[0] looked up in PATH) in folder (none: the current one) with its output
// in outputPath, and times it to its end.
TimedRun runTimed(const QStringList& command, const QString& folder = QString(),
                  const QString& outputPath = "/dev/null");

double medianOf(QList<double> values);
// "0.12 0.10 ...": the runs a median came from.
QString secondsList(const QList<double>& values);

// The machine's load averages over 1, 5 and 15 minutes, as uptime shows them.
QString loadAverages();
