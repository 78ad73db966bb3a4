#pragma once

#include <QString>

// Mount points inside what the launcher removes or swaps. A removal that went into a mounted folder
// would delete what that other file system holds, and a rename of a mount point fails for good, so
// both are refused rather than tried.
//
// A mount point is a folder, never a link, that is the root of a mount. Device numbers can't tell
// one: a btrfs subvolume or a folder on another disk differs from its parent without being mounted
// there, a bind mount of a folder of the same disk has the same number, and overlayfs reports a lower
// layer's device for files.

// True when path is a folder (not a link) that is the root of a mount. A folder reached through
// links in its parents is tested where it really is, against its own parent.
bool isMountPoint(const QString& path);

// The first mount point found at path or in a folder below it, without following links; empty when
// there is none, or when path is no folder (nothing there, a file or a link).
QString mountPointWithin(const QString& path);

// The ways of telling a mount root, from the newest kernels' to one that works everywhere /proc is.
// isMountPoint takes the first one the kernel answers.
enum class MountTest
{
    MountRootAttribute, // statx's STATX_ATTR_MOUNT_ROOT
    MountId,            // statx's mount id, other than the parent's
    MountTable,         // listed as a mount point in /proc/self/mountinfo
};

// isMountPoint through one given test; false when the kernel can't answer that one. For the tests,
// which check that all three agree.
bool isMountPointBy(const QString& path, MountTest test);
bool kernelAnswers(MountTest test);
