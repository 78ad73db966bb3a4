#include "jobs/ApplyPatchJob.h"

#include <QDebug>
#include <QList>
#include <cstring>

// Engine headers last: they bring a macro named check that Qt's headers must not see.
#include "patch/dir/dir_diff_format.h"
#include "patch/dir/dir_patcher.h"
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
    return dpatch_copyFile(oldFileName, newFileName, copyListener);
}

BOOL onOpenNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
                   dpatch_StreamPos_t fileSize)
{
    if (refuseOutside(newFileName, jobOf(listener)->newRoot()))
        return 0;
    return dpatch_TFileStreamOutput_open(curNewFile, newFileName, fileSize);
}

BOOL onCloseNewFile(TDirPatchListener*, dpatch_TFileStreamOutput* curNewFile)
{
    return dpatch_TFileStreamOutput_close(curNewFile);
}

BOOL onPatchBegin(TDirPatchListener* listener, TDirPatcher* dirPatcher)
{
    listener->dirPatcher = dirPatcher;
    return 1;
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
        if (!inside || !dpatch_setExecuteTag(path)) {
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

    const int result = runDirPatch(oldDir.constData(), diffFile.constData(), newDir.constData(), 0, kPatchCacheSize,
                                   kMaxOpenOldFiles, &checksumSet, &listener, 0, 0);
    if (result == 0) {
        qDebug() << "Patch applied successfully.";
        emit finished();
        return;
    }
    qDebug() << "Patch failed to apply.";
    logPatchFailureReason(result);
    emit failed();
}
