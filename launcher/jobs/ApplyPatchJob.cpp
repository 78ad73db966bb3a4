#include "jobs/ApplyPatchJob.h"

#include <QDebug>
#include <QList>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// Engine headers last: they bring a macro named check that Qt's headers must not see.
#include "patch/dir/dir_diff_format.h"
#include "patch/dir/dir_patcher.h"
#include "patch/dir/file_copy.h"
#include "patch/dir/new_dir_output.h"
#include "patch/drivers/dir_patch_driver.h"
#include "patch/os/file_services.h"

#include "patch/core/dpatch_check.h"

namespace
{
// The launcher's fixed memory and handle budget for one patch.
constexpr size_t kPatchCacheSize = 536870912;
constexpr size_t kMaxOpenOldFiles = 24;

ApplyPatchJob* jobOf(TDirPatchListener* listener)
{
    return static_cast<ApplyPatchJob*>(listener->userData);
}

// A patch path outside the directory it belongs to is refused before anything is created, copied or
// opened there.
bool refuseOutside(const char* path, const QByteArray& root)
{
    if (ApplyPatchJob::isInsideRoot(path, root))
        return false;
    qDebug() << "Refused patch path outside" << QString::fromUtf8(root) << ":"
             << (path ? QString::fromUtf8(path) : QString());
    return true;
}

void onSetProgressTotal(TDirPatchListener* listener, dpatch_StreamPos_t total)
{
    jobOf(listener)->setProgressTotal(total);
}

void onAddProgress(TDirPatchListener* listener, dpatch_StreamPos_t bytes)
{
    jobOf(listener)->addProgress(bytes);
}

BOOL onMakeNewDir(TDirPatchListener* listener, const char* pathName)
{
    if (refuseOutside(pathName, jobOf(listener)->newRoot()))
        return 0;
    return dpatch_makeDir(pathName);
}

BOOL onCopySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                    dpatch_TCopyListener* copyListener)
{
    ApplyPatchJob* job = jobOf(listener);
    if (refuseOutside(oldFileName, job->oldRoot()) || refuseOutside(newFileName, job->newRoot()))
        return 0;
    // whoever listens needs the bytes read, and a file of its own
    if (copyListener)
        return dpatch_copyFile(oldFileName, newFileName, copyListener);
    return job->copySameFile(oldFileName, newFileName);
}

BOOL onOpenNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
                   dpatch_StreamPos_t fileSize)
{
    if (refuseOutside(newFileName, jobOf(listener)->newRoot()))
        return 0;
    // Never opened through an existing entry: a patch that names a path twice would otherwise write
    // into a file linked from the old install.
    return dpatch_TFileStreamOutput_create(curNewFile, newFileName, fileSize);
}

BOOL onCloseNewFile(TDirPatchListener*, dpatch_TFileStreamOutput* curNewFile)
{
    return dpatch_TFileStreamOutput_close(curNewFile);
}

BOOL onPatchBegin(TDirPatchListener* listener, TDirPatcher* dirPatcher)
{
    listener->dirPatcher = dirPatcher;
    jobOf(listener)->beginPatch(dirPatcher);
    return 1;
}

bool hasExecuteBits(const char* path)
{
    struct stat info;
    return ::stat(path, &info) == 0 && (info.st_mode & 0111) == 0111;
}

// The permission bits that a file the engine creates in dir gets (the process's default, or what the
// file system gives every file); -1 when no file can be made there.
int modeOfNewFiles(const QByteArray& dir)
{
    const QByteArray probe = dir + "/.pelwinter-mode-probe";
    dpatch_TFileStreamOutput file;
    std::memset(&file, 0, sizeof(file));
    if (!dpatch_TFileStreamOutput_create(&file, probe.constData(), 0))
        return -1;
    struct stat info;
    const bool known = ::fstat(fileno(file.fileHandle), &info) == 0;
    dpatch_TFileStreamOutput_close(&file);
    ::unlink(probe.constData());
    return known ? int(info.st_mode & 07777) : -1;
}

// The engine writes plain files; the bits of the new files the patch marks executable are set here,
// while the new directory's lists are still open.
BOOL onPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess)
{
    if (!isPatchSuccess)
        return 1;
    TNewDir* newDir = &listener->dirPatcher->_newDir;
    BOOL result = 1;
    for (size_t i = 0; i < newDir->newExecuteCount; ++i) {
        const char* path = TNewDir_getNewExecutePath(newDir, i);
        const bool inside = !refuseOutside(path, jobOf(listener)->newRoot());
        // a file linked from the old install has its bits already, and its inode is not ours to touch
        if (!inside || (!hasExecuteBits(path) && !dpatch_setExecuteTag(path))) {
            result = 0;
            dpatch_printf("WARNING: can't set Execute tag to new file \"");
            dpatch_printf("%s", path ? path : "");
            dpatch_printf("\"\n");
        }
    }
    return result;
}

const char* resultCodeName(int code)
{
    static const char* const general[] = {
        "DPATCH_SUCCESS",        "DPATCH_OPTIONS_ERROR",   "DPATCH_OPENREAD_ERROR",     "DPATCH_OPENWRITE_ERROR",
        "DPATCH_FILEREAD_ERROR", "DPATCH_FILEWRITE_ERROR", "DPATCH_FILEDATA_ERROR",     "DPATCH_FILECLOSE_ERROR",
        "DPATCH_MEM_ERROR",      "DPATCH_DIFFINFO_ERROR",  "DPATCH_COMPRESSTYPE_ERROR", "DPATCH_PATCH_ERROR",
        "DPATCH_PATHTYPE_ERROR", "DPATCH_TEMPPATH_ERROR",  "DPATCH_DELETEPATH_ERROR",   "DPATCH_RENAMEPATH_ERROR",
    };
    static const char* const directory[] = {
        "DIRPATCH_DIRDIFFINFO_ERROR",       "DIRPATCH_CHECKSUMTYPE_ERROR",
        "DIRPATCH_CHECKSUMSET_ERROR",       "DIRPATCH_CHECKSUM_DIFFDATA_ERROR",
        "DIRPATCH_CHECKSUM_OLDDATA_ERROR",  "DIRPATCH_CHECKSUM_NEWDATA_ERROR",
        "DIRPATCH_CHECKSUM_COPYDATA_ERROR", "DIRPATCH_PATCH_ERROR",
        "DIRPATCH_LAOD_DIRDIFFDATA_ERROR",  "DIRPATCH_OPEN_OLDPATH_ERROR",
        "DIRPATCH_OPEN_NEWPATH_ERROR",      "DIRPATCH_CLOSE_OLDPATH_ERROR",
        "DIRPATCH_CLOSE_NEWPATH_ERROR",     "DIRPATCH_PATCHBEGIN_ERROR",
        "DIRPATCH_PATCHFINISH_ERROR",
    };
    if (code >= 0 && code <= 15)
        return general[code];
    if (code >= 101 && code <= 115)
        return directory[code - 101];
    return "";
}
} // namespace

ApplyPatchJob::ApplyPatchJob(QString oldDir, QString newDir, QString diffFile, QObject* parent)
    : QObject(parent), oldDir(oldDir.toUtf8()), newDir(newDir.toUtf8()), diffFile(diffFile.toUtf8()), totalBytes(1),
      doneBytes(0), lastPercent(0)
{}

ApplyPatchJob::~ApplyPatchJob() = default;

void ApplyPatchJob::setProgressTotal(std::uint64_t total)
{
    totalBytes = total == 0 ? 1 : total;
}

void ApplyPatchJob::addProgress(std::uint64_t bytes)
{
    doneBytes += bytes;
    const std::uint64_t percent = doneBytes * 100 / totalBytes;
    if (percent == lastPercent)
        return;
    lastPercent = percent;
    emit updateProgress("APPLYING PATCH %p%", qlonglong(percent), 100);
    qDebug() << "Patch progress:" << percent << "%";
}

void ApplyPatchJob::beginPatch(TDirPatcher* patcher)
{
    oldPrefix = QByteArray(patcher->_oldPathBuf, patcher->_oldRootDir_end - patcher->_oldPathBuf);
    const TNewDir& target = patcher->_newDir;
    newPrefix = QByteArray(target._newPathBuf, target._newRootDir_end - target._newPathBuf);
    // the new directory's counts are filled in only when its output opens; the head has them now
    for (size_t i = 0; i < size_t(patcher->dirDiffHead.newExecuteCount); ++i)
        executables.insert(QByteArray(target.newUtf8PathList[target.newExecuteList[i]]));
}

bool ApplyPatchJob::copySameFile(const char* oldFileName, const char* newFileName)
{
    const QByteArray oldPath(oldFileName);
    const QByteArray newPath(newFileName);
    const QByteArray oldRelative = oldPath.startsWith(oldPrefix) ? oldPath.mid(oldPrefix.size()) : QByteArray();
    const QByteArray newRelative = newPath.startsWith(newPrefix) ? newPath.mid(newPrefix.size()) : QByteArray();
    struct stat old;
    bool sameMode = false;
    QPair<quint64, quint64> file;
    if (newFileMode >= 0 && !newRelative.isEmpty() && ::stat(oldFileName, &old) == 0) {
        // the mode the new file ends with: a link would give it the old file's, and a change through
        // the link would change the old file
        const int wanted = executables.contains(newRelative) ? newFileMode | 0111 : newFileMode;
        sameMode = int(old.st_mode & 07777) == wanted;
        file = qMakePair(quint64(old.st_dev), quint64(old.st_ino));
    }
    // a second new path from the same old file gets a copy, so that no two files of the new install
    // are one
    const bool mayLink = sameMode && !linkedFiles.contains(file);
    dpatch_TCopyWay way = kCopyWay_none;
    if (!dpatch_linkOrCopyFile(oldFileName, newFileName, mayLink ? 1 : 0, &way))
        return false;
    if (way == kCopyWay_link)
        linkedFiles.insert(file);
    if (sameMode && oldRelative == newRelative)
        keptPaths.append(QString::fromUtf8(newRelative));
    return true;
}

bool ApplyPatchJob::isInsideRoot(const char* path, const QByteArray& root)
{
    if (path == nullptr)
        return false;
    QByteArray base = root;
    while (base.size() > 1 && base.endsWith('/'))
        base.chop(1);
    const QByteArray full(path);
    if (full == base || full == base + '/')
        return true;
    const QByteArray prefix = base.endsWith('/') ? base : base + '/';
    if (base.isEmpty() || !full.startsWith(prefix))
        return false;
    const QList<QByteArray> steps = full.mid(prefix.size()).split('/');
    for (const QByteArray& step : steps) {
        if (step == "..")
            return false;
    }
    return true;
}

void ApplyPatchJob::logPatchFailureReason(int code)
{
    qDebug().noquote() << "Reason:" << resultCodeName(code);
}

void ApplyPatchJob::go()
{
    emit updateProgress("APPLYING PATCH", 0, 1);
    qDebug() << "Starting patch apply job.";

    TDirDiffInfo info;
    std::memset(&info, 0, sizeof(info));
    if (readDirDiffInfo(diffFile.constData(), &info, 0, 0) != 1) {
        qDebug() << "Failed to get dir diff info from diff file. May be corrupt.";
        emit failed();
        return;
    }

    TDirPatchListener listener;
    std::memset(&listener, 0, sizeof(listener));
    listener.listenerOwner = nullptr;
    listener.userData = this;
    listener.setProgressTotal = onSetProgressTotal;
    listener.addProgress = onAddProgress;
    listener.makeNewDir = onMakeNewDir;
    listener.copySameFile = onCopySameFile;
    listener.openNewFile = onOpenNewFile;
    listener.closeNewFile = onCloseNewFile;
    listener.dirPatcher = nullptr;
    listener.patchBegin = onPatchBegin;
    listener.patchFinish = onPatchFinish;

    TChecksumSet checksumSet;
    std::memset(&checksumSet, 0, sizeof(checksumSet));

    newFileMode = modeOfNewFiles(newDir);

    const int result = runDirPatch(oldDir.constData(), diffFile.constData(), newDir.constData(), 0, kPatchCacheSize,
                                   kMaxOpenOldFiles, &checksumSet, &listener, 0, 0);
    if (result == 0) {
        qDebug() << "Patch applied successfully.";
        emit unchangedFilesKept(keptPaths);
        emit finished();
        return;
    }
    qDebug() << "Patch failed to apply.";
    logPatchFailureReason(result);
    emit failed();
}
