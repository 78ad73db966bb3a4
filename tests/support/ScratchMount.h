#pragma once
// A file system mounted for one test or benchmark in a temporary folder of its own, and taken down again
// when the object goes, however the test ended: a small tmpfs (which refuses to share blocks, and fills up
// at its size), an XFS image on a loop device (which shares blocks between files), or a vfat image on a
// loop device (which refuses hard links, as removable disks do). Mounting needs root and mkfs.xfs or
// mkfs.vfat; when the mount can't be made, isMounted() is false and whyNot() says why.
#include <QString>
#include <QTemporaryDir>

class ScratchMount
{
public:
    enum Kind
    {
        Tmpfs,
        Xfs,  // the image is sparse: only what is written takes space on the disk below
        Vfat, // sparse too; files get the mode 0755 (changes of it are ignored) and times of two seconds
    };
    // An XFS image must be at least 300 MiB.
    ScratchMount(Kind kind, qint64 bytes);
    ~ScratchMount();
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool isMounted() const { return mounted; }
    QString whyNot() const { return reason; }
    // The mount point.
    QString path() const { return mountPoint; }

    static constexpr qint64 kSmallestXfs = 320ll * 1024 * 1024;

private:
    bool mountImage(const QString& tool, const QString& package, const QStringList& mkfsArguments, qint64 bytes,
                    const QString& options);
    QTemporaryDir holder; // the image and the mount point
    QString mountPoint;
    bool mounted = false;
    QString reason;
};

// A mount on a folder the test chose (made when missing), for the launcher to meet inside an install:
// a small tmpfs, or a bind mount of another folder (of the same disk, so that it has its parent's
// device number). Taken down when the object goes, however the test ended, also when what the test
// ran has renamed a folder above it (the mount goes with the folder). Needs root; when the mount
// can't be made, isMounted() is false and whyNot() says why.
class MountOn
{
public:
    explicit MountOn(const QString& point, const QString& bindSource = QString());
    ~MountOn();
    MountOn(const MountOn&) = delete;
    MountOn& operator=(const MountOn&) = delete;

    bool isMounted() const { return mounted; }
    QString whyNot() const { return reason; }
    QString path() const { return mountPoint; }

private:
    QString mountPoint;
    bool mounted = false;
    int root = -1; // the mount's root, held to find it wherever it went
    QString reason;
};
