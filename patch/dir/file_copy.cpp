#include "patch/dir/file_copy.h"

#include "patch/dir/new_dir_output.h"
#include "patch/os/file_services.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "patch/core/dpatch_check.h"

namespace
{
// Largest piece asked of copy_file_range at once; the kernel moves at most about 2 GiB per call anyway.
const dpatch_StreamPos_t kKernelCopyPiece = (dpatch_StreamPos_t)1 << 30;

bool kernelRefused(int error)
{
    return dpatch_isRefusedHere(error) != 0;
}

// Gives the new file the old one's blocks, placed from outStart on (where the new file ends). Answers
// kCopyWay_clone, kCopyWay_kernel when the file system can't share blocks (there, or at all: only whole blocks
// can be shared, so a new file that doesn't end on a block boundary can't take them), or kCopyWay_none after a
// failure.
dpatch_TCopyWay cloneFile(int oldFd, int newFd, dpatch_StreamPos_t outStart, dpatch_StreamPos_t size)
{
#if defined(FICLONE) && defined(FICLONERANGE)
    int shared;
    if (outStart == 0) {
        shared = ioctl(newFd, FICLONE, oldFd);
    } else {
        // a length of 0 shares the old file up to its end
        const struct file_clone_range range = {oldFd, 0, 0, outStart};
        shared = ioctl(newFd, FICLONERANGE, &range);
    }
    if (shared != 0)
        return kernelRefused(errno) ? kCopyWay_kernel : kCopyWay_none;
    // a clone takes the old file as it is now: if that is no longer the size measured, it is not the copy
    // the caller asked for
    struct stat info;
    if (fstat(newFd, &info) != 0 || (dpatch_StreamPos_t)info.st_size != outStart + size)
        return kCopyWay_none;
    return kCopyWay_clone;
#else
    (void)oldFd;
    (void)newFd;
    (void)outStart;
    (void)size;
    return kCopyWay_kernel;
#endif
}

// Copies the first size bytes of the old file into the new file from outStart on (where it ends) inside the
// kernel. Answers kCopyWay_kernel, kCopyWay_plain when the kernel refused (the new file ends at outStart
// again), or kCopyWay_none after a failure.
dpatch_TCopyWay copyInKernel(int oldFd, int newFd, dpatch_StreamPos_t outStart, dpatch_StreamPos_t size)
{
    loff_t inPos = 0;
    loff_t outPos = (loff_t)outStart;
    while ((dpatch_StreamPos_t)inPos < size) {
        dpatch_StreamPos_t piece = size - (dpatch_StreamPos_t)inPos;
        if (piece > kKernelCopyPiece)
            piece = kKernelCopyPiece;
        const ssize_t copied = copy_file_range(oldFd, &inPos, newFd, &outPos, (size_t)piece, 0);
        if (copied > 0)
            continue;
        if (copied < 0 && errno == EINTR)
            continue;
        // Nothing copied means an old file shorter than measured or a file system that copies nothing in the
        // kernel (some special and network ones); the plain way tells the two apart.
        if (copied == 0 || kernelRefused(errno))
            return inPos == 0 || ftruncate(newFd, (off_t)outStart) == 0 ? kCopyWay_plain : kCopyWay_none;
        return kCopyWay_none;
    }
    return kCopyWay_kernel;
}

// The way the bytes of a non-empty old file go into the new file from outStart on, after the kernel has taken
// them where it could: kCopyWay_plain means that is still to be done.
dpatch_TCopyWay copyWithoutReading(int oldFd, int newFd, dpatch_StreamPos_t outStart, dpatch_StreamPos_t size)
{
    const dpatch_TCopyWay way = cloneFile(oldFd, newFd, outStart, size);
    return way == kCopyWay_kernel ? copyInKernel(oldFd, newFd, outStart, size) : way;
}

// Writes all of data at pos, as many calls as it takes.
bool writeAllAt(int fd, const unsigned char* data, dpatch_StreamPos_t size, dpatch_StreamPos_t pos)
{
    while (size > 0) {
        const ssize_t written = pwrite(fd, data, (size_t)size, (off_t)pos);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= (dpatch_StreamPos_t)written;
        pos += (dpatch_StreamPos_t)written;
    }
    return true;
}

// The plain way of appending: the first size bytes of the old file, read and written in pieces.
bool copyPlainly(int oldFd, int newFd, dpatch_StreamPos_t outStart, dpatch_StreamPos_t size)
{
    const size_t bufferSize = size < dpatch_kCopyBufferSize ? (size_t)size : dpatch_kCopyBufferSize;
    unsigned char* buffer = (unsigned char*)malloc(bufferSize);
    if (!buffer)
        return false;
    bool ok = true;
    for (dpatch_StreamPos_t pos = 0; ok && pos < size;) {
        dpatch_StreamPos_t piece = size - pos;
        if (piece > bufferSize)
            piece = bufferSize;
        const ssize_t count = pread(oldFd, buffer, (size_t)piece, (off_t)pos);
        if (count < 0 && errno == EINTR)
            continue;
        if (count == 0)
            errno = EIO; // the old file is shorter than it was measured
        ok = count > 0 && writeAllAt(newFd, buffer, (dpatch_StreamPos_t)count, outStart + pos);
        pos += count > 0 ? (dpatch_StreamPos_t)count : 0;
    }
    const int failedErrno = errno;
    free(buffer);
    errno = failedErrno;
    return ok;
}
} // namespace

BOOL dpatch_isRefusedHere(int error)
{
    switch (error) {
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EXDEV:
    case EINVAL:
    case ENOSYS:
    case ENOTTY:
    case EBADF:
    case EPERM:  // vfat and exFAT answer a hard link with it
    case EMLINK: // the old file has as many links as its file system allows
    case ETXTBSY:
        return 1;
    default:
        return 0;
    }
}

namespace
{
BOOL copyFileByFastestWay(const char* oldFileName_utf8, const char* newFileName_utf8,
                          dpatch_TCopyListener* copyListener, dpatch_TCopyWay* out_way, bool exclusive)
{
    BOOL result = 1;
    dpatch_TCopyWay way = kCopyWay_none;
    dpatch_TFileStreamInput oldFile;
    dpatch_TFileStreamOutput newFile;
    unsigned char* temp_cache = 0;
    dpatch_StreamPos_t cacheSize = 0;
    BOOL isPlainWrite = 0;
    memset(&oldFile, 0, sizeof(oldFile));
    memset(&newFile, 0, sizeof(newFile));
    check_clear(dpatch_TFileStreamInput_open(&oldFile,oldFileName_utf8));
    if (newFileName_utf8)
        check_clear(exclusive ? dpatch_TFileStreamOutput_create(&newFile,newFileName_utf8,oldFile.base.streamSize)
                              : dpatch_TFileStreamOutput_open(&newFile,newFileName_utf8,oldFile.base.streamSize));
    if (newFileName_utf8 && oldFile.base.streamSize > 0) {
        way = copyWithoutReading(fileno(oldFile.fileHandle), fileno(newFile.fileHandle), 0, oldFile.base.streamSize);
        if (way == kCopyWay_none)
            newFile.fileError = 1;
        else if (way != kCopyWay_plain)
            newFile.out_length = oldFile.base.streamSize;
        isPlainWrite = way == kCopyWay_plain;
    }
    if ((isPlainWrite || copyListener) && !newFile.fileError && oldFile.base.streamSize > 0) {
        cacheSize = oldFile.base.streamSize < dpatch_kCopyBufferSize ? oldFile.base.streamSize : dpatch_kCopyBufferSize;
        temp_cache = (unsigned char*)malloc((size_t)cacheSize);
        check_clear(temp_cache!=0);
        for (dpatch_StreamPos_t pos = 0; pos < oldFile.base.streamSize;) {
            dpatch_StreamPos_t copyLen = oldFile.base.streamSize - pos;
            if (copyLen > cacheSize)
                copyLen = cacheSize;
            check_clear(oldFile.base.read(&oldFile.base,pos,temp_cache,temp_cache+copyLen));
            if (isPlainWrite)
                check_clear(newFile.base.write(&newFile.base,pos,temp_cache,temp_cache+copyLen));
            if (copyListener)
                copyListener->onCopyData(copyListener, temp_cache, temp_cache + copyLen);
            pos += copyLen;
        }
    }
    check_clear(!oldFile.fileError);
    if (newFileName_utf8) {
        check_clear(!newFile.fileError);
        check_clear(newFile.out_length==newFile.base.streamSize);
    }
clear:
    // the system's error of the step that failed, for the caller's message
    int failedErrno = newFile.fileError && newFile.lastErrno != 0 ? newFile.lastErrno : errno;
    // closing flushes the copy: a full disk shows here, and a short copy must not count as done
    if (!dpatch_TFileStreamOutput_close(&newFile)) {
        dpatch_fprintf(stderr, "check %s error!\n", "dpatch_TFileStreamOutput_close(&newFile)");
        if (result)
            failedErrno = newFile.lastErrno;
        result = 0;
    }
    dpatch_TFileStreamInput_close(&oldFile);
    free(temp_cache);
    if (out_way)
        *out_way = result ? way : kCopyWay_none;
    errno = result ? 0 : failedErrno;
    return result;
}
} // namespace

BOOL dpatch_copyFileByFastestWay(const char* oldFileName, const char* newFileName, dpatch_TCopyListener* copyListener,
                                 dpatch_TCopyWay* out_way)
{
    return copyFileByFastestWay(oldFileName, newFileName, copyListener, out_way, false);
}

BOOL dpatch_linkOrCopyFile(const char* oldFileName, const char* newFileName, BOOL mayLink, dpatch_TCopyWay* out_way)
{
    if (out_way)
        *out_way = kCopyWay_none;
    struct stat old;
    check(stat(oldFileName,&old)==0);
    return dpatch_linkOrCopyFileWithStat(oldFileName, &old, newFileName, mayLink, out_way);
}

BOOL dpatch_linkOrCopyFileWithStat(const char* oldFileName, const struct stat* oldInfo, const char* newFileName,
                                   BOOL mayLink, dpatch_TCopyWay* out_way)
{
    if (out_way)
        *out_way = kCopyWay_none;
    const struct stat& old = *oldInfo;
    if (!S_ISREG(old.st_mode)) {
        errno = ENOTSUP;
        check(S_ISREG(old.st_mode));
    }
    if (mayLink) {
        if (linkat(AT_FDCWD, oldFileName, AT_FDCWD, newFileName, AT_SYMLINK_FOLLOW) == 0) {
            if (out_way)
                *out_way = kCopyWay_link;
            return 1;
        }
        check(dpatch_isRefusedHere(errno));
    }
    check(copyFileByFastestWay(oldFileName,newFileName,0,out_way,true));
    // the copy keeps the old file's time, so that a record of the old file by size and time still matches it
    const struct timespec times[2] = {{0, UTIME_OMIT}, old.st_mtim};
    check(utimensat(AT_FDCWD,newFileName,times,0)==0);
    return 1;
}

BOOL dpatch_appendFile(int outFd, dpatch_StreamPos_t* inout_pos, const char* fromFileName, dpatch_TCopyWay* out_way)
{
    if (out_way)
        *out_way = kCopyWay_none;
    dpatch_TCopyWay way = kCopyWay_none;
    const int in = open(fromFileName, O_RDONLY | O_CLOEXEC);
    struct stat from;
    bool ok = in >= 0 && fstat(in, &from) == 0;
    if (ok && from.st_size > 0) {
        const dpatch_StreamPos_t size = (dpatch_StreamPos_t)from.st_size;
        way = copyWithoutReading(in, outFd, *inout_pos, size);
        if (way == kCopyWay_plain)
            ok = copyPlainly(in, outFd, *inout_pos, size);
        ok = ok && way != kCopyWay_none;
        if (ok)
            *inout_pos += size;
    }
    // the system's error of the step that failed, for the caller's message
    const int failedErrno = errno;
    if (in >= 0)
        close(in);
    if (!ok) {
        dpatch_fprintf(stderr, "check %s error!\n", "dpatch_appendFile(outFd,inout_pos,fromFileName,out_way)");
        errno = failedErrno;
        return 0;
    }
    if (out_way)
        *out_way = way;
    return 1;
}
