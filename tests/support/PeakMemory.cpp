#include "PeakMemory.h"

#include <QByteArray>
#include <QFile>

namespace
{
qint64 statusKiB(const QByteArray& field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
} // namespace

qint64 peakResidentKiB()
{
    return statusKiB("VmHWM");
}

qint64 peakAddressSpaceKiB()
{
    return statusKiB("VmPeak");
}
