#include "ScratchMount.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Runs a program to its end; an empty answer means it succeeded, anything else says why not.
QString run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return program + " did not finish";
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return QString();
    return program + " failed: " + QString::fromLocal8Bit(process.readAll()).trimmed();
}

// Unmounts what is mounted at point; a file a test still has open keeps the mount busy for a moment.
// False, with a warning, when it stays.
bool unmount(const QString& point)
{
    const QByteArray path = QFile::encodeName(point);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (umount2(path.constData(), 0) == 0)
            return true;
        if (errno != EBUSY)
            break;
        QThread::msleep(100);
    }
    if (umount2(path.constData(), MNT_DETACH) == 0)
        return true;
    qWarning("could not unmount %s: %s", path.constData(), strerror(errno));
    return false;
}
} // namespace

ScratchMount::ScratchMount(Kind kind, qint64 bytes)
{
    if (!holder.isValid()) {
        reason = "no temporary folder for the mount";
        return;
    }
    mountPoint = holder.path() + "/mnt";
    if (!QDir().mkpath(mountPoint)) {
        reason = "can't make the mount point";
        return;
    }
    if (geteuid() != 0) {
        reason = "mounting needs root";
        return;
    }
    if (kind == Xfs) {
        mounted = mountImage("mkfs.xfs", "xfsprogs", {"-q"}, qMax(bytes, kSmallestXfs), "loop");
        return;
    }
    if (kind == Vfat) {
        // quiet: a change of mode or owner succeeds without changing anything, as tools that set modes expect
        mounted = mountImage("mkfs.vfat", "dosfstools", {}, bytes, "loop,quiet");
        return;
    }
    const QByteArray options = "size=" + QByteArray::number(bytes);
    mounted = mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, options.constData()) == 0;
    if (!mounted)
        reason = QString("mounting a tmpfs failed: ") + strerror(errno);
}

bool ScratchMount::mountImage(const QString& tool, const QString& package, const QStringList& mkfsArguments,
                              qint64 bytes, const QString& options)
{
    QString mkfs = QStandardPaths::findExecutable(tool);
    if (mkfs.isEmpty())
        mkfs = QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin"});
    if (mkfs.isEmpty()) {
        reason = tool + " is not installed (" + package + ")";
        return false;
    }
    const QString image = holder.path() + "/fs.img";
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(bytes)) {
        reason = "can't make the image file " + image;
        return false;
    }
    file.close();
    reason = run(mkfs, mkfsArguments + QStringList{image});
    if (reason.isEmpty())
        reason = run("mount", {"-o", options, image, mountPoint});
    return reason.isEmpty();
}

ScratchMount::~ScratchMount()
{
    // never delete through a mount that is still there; the loop device goes with the mount
    if (mounted && !unmount(mountPoint))
        holder.setAutoRemove(false);
}

MountOn::MountOn(const QString& point, const QString& bindSource) : mountPoint(point)
{
    // a file is mounted on a file
    if (!QFileInfo::exists(point) && !QDir().mkpath(point)) {
        reason = "can't make the mount point " + point;
        return;
    }
    if (geteuid() != 0) {
        reason = "mounting needs root";
        return;
    }
    const QByteArray target = QFile::encodeName(point);
    if (bindSource.isEmpty())
        mounted = mount("tmpfs", target.constData(), "tmpfs", 0, "size=1048576") == 0;
    else
        mounted = mount(QFile::encodeName(bindSource).constData(), target.constData(), nullptr, MS_BIND, nullptr) == 0;
    if (!mounted)
        reason = QString(bindSource.isEmpty() ? "mounting a tmpfs" : "a bind mount") + " failed: " + strerror(errno);
    else
        root = open(target.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

MountOn::~MountOn()
{
    if (!mounted)
        return;
    struct stat atPath = {};
    struct stat held = {};
    const bool stillThere =
        root < 0 || (::stat(QFile::encodeName(mountPoint).constData(), &atPath) == 0 && fstat(root, &held) == 0 &&
                     atPath.st_dev == held.st_dev && atPath.st_ino == held.st_ino);
    if (stillThere) {
        if (root >= 0)
            close(root); // it would keep the mount busy
        unmount(mountPoint);
        return;
    }
    // Moved with a folder above it: taken off wherever it is now, through the root held open.
    const QByteArray moved = "/proc/self/fd/" + QByteArray::number(root);
    if (umount2(moved.constData(), MNT_DETACH) != 0)
        qWarning("could not unmount the mount made at %s: %s", QFile::encodeName(mountPoint).constData(),
                 strerror(errno));
    close(root);
}
