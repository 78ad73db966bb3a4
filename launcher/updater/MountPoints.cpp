#include "updater/MountPoints.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QList>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <utility>

namespace
{
// statx without following a link at the end and without mounting what an automounter would mount
// there: the folder is looked at as it is.
bool statxOf(const QByteArray& path, unsigned int mask, struct statx* info)
{
    return ::statx(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, mask, info) == 0;
}

bool isFolder(const struct statx& info)
{
    return (info.stx_mask & STATX_TYPE) && S_ISDIR(info.stx_mode);
}

QString realPath(const QString& path)
{
    char* real = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!real)
        return QString();
    const QString result = QFile::decodeName(real);
    std::free(real);
    return result;
}

// A mount point as /proc/self/mountinfo writes it: space, tab, newline and backslash as three octal digits.
QString unescapedMountPoint(const QByteArray& field)
{
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const auto octal = [&](qsizetype at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            bytes.append(char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            bytes.append(field[i]);
        }
    }
    return QFile::decodeName(bytes);
}

// Every mount point of this process's mount table, as seen from its root; false when the table can't
// be read (no /proc).
bool readMountTable(QList<QString>* mountPoints)
{
    QFile table("/proc/self/mountinfo");
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = table.readAll();
    if (content.isEmpty())
        return false;
    for (const QByteArray& line : content.split('\n')) {
        // mount id, parent id, major:minor, root, mount point, ...
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4)
            mountPoints->append(unescapedMountPoint(fields[4]));
    }
    return true;
}

// What one test tells of a folder; Unknown when the kernel can't answer it.
enum class Answer
{
    Yes,
    No,
    Unknown,
};

Answer answerOf(bool known, bool yes)
{
    return !known ? Answer::Unknown : yes ? Answer::Yes : Answer::No;
}

Answer testFolder(const QString& path, const struct statx& info, MountTest test)
{
    switch (test) {
    case MountTest::MountRootAttribute:
        return answerOf(info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT, info.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    case MountTest::MountId: {
        if (!(info.stx_mask & STATX_MNT_ID))
            return Answer::Unknown;
        // ".." of a folder is its own parent, also when links led to it; at a mount's root it is the
        // folder it is mounted on, in the mount above.
        struct statx parent = {};
        const bool known =
            statxOf(QFile::encodeName(path + "/.."), STATX_MNT_ID, &parent) && (parent.stx_mask & STATX_MNT_ID);
        return answerOf(known, parent.stx_mnt_id != info.stx_mnt_id);
    }
    case MountTest::MountTable: {
        QList<QString> mountPoints;
        const QString real = realPath(path);
        const bool known = !real.isEmpty() && readMountTable(&mountPoints);
        return answerOf(known, mountPoints.contains(real));
    }
    }
    return Answer::Unknown;
}

// The folder's statx, or false when path is no folder. Where statx itself is refused (a sandbox that
// filters it), lstat tells a folder and only the mount table is left to answer.
bool statFolder(const QString& path, struct statx* info)
{
    const QByteArray name = QFile::encodeName(path);
    if (statxOf(name, STATX_TYPE | STATX_MNT_ID, info))
        return isFolder(*info);
    if (errno == ENOENT || errno == ENOTDIR)
        return false;
    struct stat plain = {};
    *info = {};
    return ::lstat(name.constData(), &plain) == 0 && S_ISDIR(plain.st_mode);
}
} // namespace

bool isMountPoint(const QString& path)
{
    struct statx info = {};
    if (!statFolder(path, &info))
        return false;
    // the newest means the kernel has; each later test serves a kernel without the earlier ones
    for (const MountTest test : {MountTest::MountRootAttribute, MountTest::MountId, MountTest::MountTable}) {
        const Answer answer = testFolder(path, info, test);
        if (answer != Answer::Unknown)
            return answer == Answer::Yes;
    }
    return false;
}

bool isMountPointBy(const QString& path, MountTest test)
{
    struct statx info = {};
    return statFolder(path, &info) && testFolder(path, info, test) == Answer::Yes;
}

bool kernelAnswers(MountTest test)
{
    struct statx info = {};
    return statFolder("/", &info) && testFolder("/", info, test) != Answer::Unknown;
}

QString mountPointWithin(const QString& path)
{
    struct statx info = {};
    if (!statFolder(path, &info))
        return QString();
    if (isMountPoint(path))
        return path;

    // The mount table lists every mount at once, so a large install costs no walk. A listed folder is
    // tested itself, since the table also lists mounts hidden under a later mount on a folder above them.
    QList<QString> mountPoints;
    if (readMountTable(&mountPoints)) {
        const QString real = realPath(path);
        if (real.isEmpty())
            return QString();
        const QString prefix = real == "/" ? real : real + "/";
        // the shallowest first: it names what holds the rest
        std::sort(mountPoints.begin(), mountPoints.end(),
                  [](const QString& a, const QString& b) { return a.size() < b.size(); });
        for (const QString& mountPoint : std::as_const(mountPoints)) {
            if (mountPoint.startsWith(prefix) && isMountPoint(mountPoint))
                return QDir::cleanPath(path + "/" + mountPoint.mid(prefix.size()));
        }
        return QString();
    }

    // Without the table every folder is looked at, up to the first mount point; nothing is written.
    QDirIterator folders(path, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                         QDirIterator::Subdirectories);
    while (folders.hasNext()) {
        const QString folder = folders.next();
        if (isMountPoint(folder))
            return folder;
    }
    return QString();
}
