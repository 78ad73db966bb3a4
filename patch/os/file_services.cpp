#include "patch/os/file_services.h"

#include "patch/core/dpatch_log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace
{
const dpatch_StreamPos_t kMaxSignedPos = (dpatch_StreamPos_t)INT64_MAX;

BOOL seekTo(FILE* file, dpatch_StreamPos_t pos)
{
    if (pos > kMaxSignedPos)
        return 0;
    return fseeko(file, (off_t)pos, SEEK_SET) == 0;
}

// The size of an open file, leaving it positioned at 0.
BOOL fileSizeOf(FILE* file, dpatch_StreamPos_t* out_size)
{
    if (fseeko(file, 0, SEEK_END) != 0)
        return 0;
    const off_t end = ftello(file);
    if (end < 0)
        return 0;
    if (fseeko(file, 0, SEEK_SET) != 0)
        return 0;
    *out_size = (dpatch_StreamPos_t)end;
    return 1;
}

// Moves [begin, end) with step(piece, length) in pieces of at most dpatch_kFileIOChunkSize bytes; 0 at the
// first short transfer.
template <typename Byte, typename Step> BOOL inChunks(Byte* begin, Byte* end, Step step)
{
    while (begin < end) {
        size_t piece = (size_t)(end - begin);
        if (piece > dpatch_kFileIOChunkSize)
            piece = dpatch_kFileIOChunkSize;
        if (!step(begin, piece))
            return 0;
        begin += piece;
    }
    return 1;
}

BOOL readChunked(FILE* file, dpatch_byte* out_data, dpatch_byte* out_data_end)
{
    return inChunks(out_data, out_data_end,
                    [file](dpatch_byte* piece, size_t length) { return fread(piece, 1, length, file) == length; });
}

// The bounds rule shared by all file stream callbacks: [pos, pos + length) must lie within size.
BOOL rangeFits(dpatch_StreamPos_t pos, dpatch_StreamPos_t length, dpatch_StreamPos_t size)
{
    return length <= size && pos <= size - length;
}

// Reads [pos, pos + length) of a stream window of streamSize bytes that starts at windowStart in the file,
// seeking only when the handle isn't already there. Any failure marks the stream and forgets the position.
BOOL readFileWindow(FILE* file, dpatch_StreamPos_t* filePos, int32_t* fileError, dpatch_StreamPos_t streamSize,
                    dpatch_StreamPos_t windowStart, dpatch_StreamPos_t pos, dpatch_byte* out_data,
                    dpatch_byte* out_data_end)
{
    BOOL result = 0;
    if (out_data < out_data_end && file) {
        const dpatch_StreamPos_t length = (dpatch_StreamPos_t)(out_data_end - out_data);
        if (rangeFits(pos, length, streamSize)) {
            const dpatch_StreamPos_t position = pos + windowStart;
            result = (position == *filePos || seekTo(file, position)) && readChunked(file, out_data, out_data_end);
            if (result)
                *filePos = position + length;
        }
    }
    if (!result) {
        *fileError = 1;
        *filePos = dpatch_kUnknownFilePos;
    }
    return result;
}

BOOL fileStreamRead(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                    dpatch_byte* out_data_end)
{
    dpatch_TFileStreamInput* self = (dpatch_TFileStreamInput*)stream->streamOwner;
    if (out_data == out_data_end)
        return 1;
    return readFileWindow(self->fileHandle, &self->filePos, &self->fileError, self->base.streamSize, self->windowStart,
                          readFromPos, out_data, out_data_end);
}

BOOL fileStreamWrite(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t writeToPos, const dpatch_byte* data,
                     const dpatch_byte* data_end)
{
    dpatch_TFileStreamOutput* self = (dpatch_TFileStreamOutput*)stream->streamOwner;
    if (data == data_end)
        return 1;
    BOOL result = 0;
    errno = 0;
    if (data < data_end && self->fileHandle) {
        const dpatch_StreamPos_t length = (dpatch_StreamPos_t)(data_end - data);
        if (rangeFits(writeToPos, length, self->base.streamSize)) {
            if (self->readingBack) {
                self->readingBack = 0;
                self->filePos = dpatch_kUnknownFilePos;
            }
            // Only sequential writes: each one must continue exactly where the last one ended.
            if (writeToPos == self->filePos || (self->seekAllowed && seekTo(self->fileHandle, writeToPos)))
                result = writeChunked(self->fileHandle, data, data_end);
            // A complete file goes out at once, so that a full disk fails the write that completed it rather
            // than only the close, however much of it the buffer held.
            if (result && writeToPos + length == self->base.streamSize)
                result = fflush(self->fileHandle) == 0;
            if (result) {
                self->filePos = writeToPos + length;
                if (self->out_length < self->filePos)
                    self->out_length = self->filePos;
            }
        }
    }
    if (!result) {
        self->lastErrno = errno != 0 ? errno : EIO;
        self->fileError = 1;
        self->filePos = dpatch_kUnknownFilePos;
    }
    return result;
}

BOOL fileStreamReadBack(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t pos, dpatch_byte* out_data,
                        dpatch_byte* out_data_end)
{
    dpatch_TFileStreamOutput* self = (dpatch_TFileStreamOutput*)stream->streamOwner;
    if (!self->fileHandle)
        return 0;
    if (!self->readingBack) {
        // What was written may still sit in stdio's buffer.
        if (fflush(self->fileHandle) != 0)
            return 0;
        self->readingBack = 1;
        self->filePos = dpatch_kUnknownFilePos;
    }
    if (out_data == out_data_end)
        return 1;
    return readFileWindow(self->fileHandle, &self->filePos, &self->fileError, self->base.streamSize, self->windowStart,
                          pos, out_data, out_data_end);
}

// Replaces stdio's page-sized buffer, which splits every write into a page and the rest, by one of up to
// dpatch_kFileIOChunkSize bytes; without the memory the file keeps stdio's own buffer. Only for a file just
// opened: stdio takes a buffer only before anything else is done with the file.
void useLargeWriteBuffer(dpatch_TFileStreamOutput* self, FILE* file, dpatch_StreamPos_t bytesToWrite)
{
    // stdio writes straight through a buffer of fewer than 128 bytes; a page is what it would take itself
    const size_t kSmallest = 4096;
    if (bytesToWrite <= kSmallest)
        return;
    const size_t size = bytesToWrite < dpatch_kFileIOChunkSize ? (size_t)bytesToWrite : dpatch_kFileIOChunkSize;
    dpatch_byte* buffer = (dpatch_byte*)malloc(size);
    if (buffer && setvbuf(file, (char*)buffer, _IOFBF, size) == 0)
        self->writeBuffer = buffer;
    else
        free(buffer);
}

void setUpOutput(dpatch_TFileStreamOutput* self, FILE* file, dpatch_StreamPos_t maxSize,
                 dpatch_StreamPos_t existingLength)
{
    self->writeBuffer = nullptr;
    self->base.streamOwner = self;
    self->base.streamSize = maxSize;
    self->base.readBack = fileStreamReadBack;
    self->base.write = fileStreamWrite;
    self->fileHandle = file;
    self->filePos = existingLength;
    self->windowStart = 0;
    self->fileError = 0;
    self->seekAllowed = 0;
    self->readingBack = 0;
    self->out_length = existingLength;
    self->lastErrno = 0;
}

// Keeps the path for messages.
void rememberPath(dpatch_TFileStreamOutput* self, const char* path)
{
    snprintf(self->pathName, sizeof(self->pathName), "%s", path);
}

BOOL closeFile(FILE** fileHandle)
{
    FILE* file = *fileHandle;
    if (!file)
        return 1;
    *fileHandle = nullptr;
    return fclose(file) == 0;
}
} // namespace

BOOL dpatch_TFileStreamInput_open(dpatch_TFileStreamInput* self, const char* path)
{
    if (self->fileHandle)
        return 0;
    // Opened without waiting, so that a FIFO can't hang the run before it is seen to be none.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = ENOTSUP;
        return 0;
    }
    FILE* file = nullptr;
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !(file = fdopen(fd, "rb"))) {
        close(fd);
        return 0;
    }
    dpatch_StreamPos_t size = 0;
    if (!fileSizeOf(file, &size)) {
        fclose(file);
        return 0;
    }
    self->base.streamOwner = self;
    self->base.streamSize = size;
    self->base.read = fileStreamRead;
    self->fileHandle = file;
    self->filePos = 0;
    self->windowStart = 0;
    self->fileError = 0;
    return 1;
}

BOOL dpatch_TFileStreamInput_setOffset(dpatch_TFileStreamInput* self, dpatch_StreamPos_t offset)
{
    if (offset > self->base.streamSize)
        return 0;
    self->windowStart += offset;
    self->base.streamSize -= offset;
    return 1;
}

BOOL dpatch_TFileStreamInput_close(dpatch_TFileStreamInput* self)
{
    return closeFile(&self->fileHandle);
}

namespace
{
// Opens a new output stream of maxSize bytes on path with the stdio mode given.
BOOL openNewOutput(dpatch_TFileStreamOutput* self, const char* path, const char* mode, dpatch_StreamPos_t maxSize)
{
    if (self->fileHandle)
        return 0;
    FILE* file = fopen(path, mode);
    if (!file)
        return 0;
    setUpOutput(self, file, maxSize, 0);
    useLargeWriteBuffer(self, file, maxSize);
    rememberPath(self, path);
    return 1;
}
} // namespace

BOOL dpatch_TFileStreamOutput_open(dpatch_TFileStreamOutput* self, const char* path, dpatch_StreamPos_t maxSize)
{
    return openNewOutput(self, path, "wb+", maxSize);
}

BOOL dpatch_TFileStreamOutput_create(dpatch_TFileStreamOutput* self, const char* path, dpatch_StreamPos_t maxSize)
{
    // "x" is O_EXCL: never opened through an existing entry, a symbolic link included
    return openNewOutput(self, path, "wb+x", maxSize);
}

BOOL dpatch_TFileStreamOutput_openExisting(dpatch_TFileStreamOutput* self, const char* path, dpatch_StreamPos_t maxSize)
{
    if (self->fileHandle)
        return 0;
    FILE* file = nullptr;
    dpatch_StreamPos_t end = 0;
    if (!openForAppend(path, &file, &end))
        return 0;
    if (end > maxSize) {
        fclose(file);
        return 0;
    }
    setUpOutput(self, file, maxSize, end);
    rememberPath(self, path);
    return 1;
}

BOOL dpatch_TFileStreamOutput_sync(dpatch_TFileStreamOutput* self)
{
    return self->fileHandle && fflush(self->fileHandle) == 0;
}

BOOL dpatch_TFileStreamOutput_close(dpatch_TFileStreamOutput* self)
{
    errno = 0;
    const BOOL result = closeFile(&self->fileHandle);
    if (!result)
        self->lastErrno = errno != 0 ? errno : EIO;
    // stdio writes the buffer out while closing, so it goes only after the file
    free(self->writeBuffer);
    self->writeBuffer = nullptr;
    return result;
}

size_t dpatch_lengthWithoutTrailingSlashes(const char* path)
{
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/')
        --length;
    return length;
}

BOOL dpatch_copyWithoutTrailingSlashes(const char* path, char* buf)
{
    if (strlen(path) > dpatch_kMaxPathLength)
        return 0;
    const size_t length = dpatch_lengthWithoutTrailingSlashes(path);
    memcpy(buf, path, length);
    buf[length] = '\0';
    return 1;
}

BOOL dpatch_getPathStat(const char* path, dpatch_TPathType* out_type, dpatch_StreamPos_t* out_size)
{
    char buf[dpatch_kPathBufSize];
    const size_t length = strlen(path);
    if (length > 0 && path[length - 1] == '/') {
        if (!dpatch_copyWithoutTrailingSlashes(path, buf))
            return 0;
        path = buf;
    }
    struct stat info;
    if (stat(path, &info) != 0) {
        if (errno != ENOENT)
            return 0;
        *out_type = kPathType_notExist;
        return 1;
    }
    if (S_ISREG(info.st_mode)) {
        *out_type = kPathType_file;
        if (out_size)
            *out_size = (dpatch_StreamPos_t)info.st_size;
        return 1;
    }
    if (S_ISDIR(info.st_mode)) {
        *out_type = kPathType_dir;
        if (out_size)
            *out_size = 0;
        return 1;
    }
    return 0;
}

BOOL dpatch_makeDir(const char* path)
{
    char buf[dpatch_kPathBufSize];
    if (!dpatch_copyWithoutTrailingSlashes(path, buf))
        return 0;
    struct stat info;
    if (stat(buf, &info) == 0)
        return S_ISDIR(info.st_mode) ? 1 : 0;
    if (errno != ENOENT)
        return 0;
    return mkdir(buf, 0755) == 0;
}

BOOL dpatch_isExecuteFile(const char* path)
{
    struct stat info;
    if (stat(path, &info) != 0)
        return 0;
    return S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR) != 0;
}

BOOL dpatch_setExecuteTag(const char* path)
{
    struct stat info;
    if (stat(path, &info) != 0)
        return 0;
    return chmod(path, (info.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH) == 0;
}

BOOL getTempPathName(const char* path, char* out_buf, char* out_buf_end)
{
    const size_t length = dpatch_lengthWithoutTrailingSlashes(path);
    if (out_buf_end < out_buf || (size_t)(out_buf_end - out_buf) < length + 12)
        return 0;
    for (int number = 1; number <= 999; ++number) {
        memmove(out_buf, path, length);
        snprintf(out_buf + length, 12, "%03d.tmp", number);
        dpatch_TPathType type;
        if (!dpatch_getPathStat(out_buf, &type, nullptr))
            return 0;
        if (type == kPathType_notExist)
            return 1;
    }
    return 0;
}

BOOL renamePath(const char* oldPath, const char* newPath)
{
    char oldBuf[dpatch_kPathBufSize];
    char newBuf[dpatch_kPathBufSize];
    if (!dpatch_copyWithoutTrailingSlashes(oldPath, oldBuf) || !dpatch_copyWithoutTrailingSlashes(newPath, newBuf))
        return 0;
    return rename(oldBuf, newBuf) == 0;
}

BOOL relocatePath(const char* oldPath, const char* newPath)
{
    return renamePath(oldPath, newPath);
}

BOOL removeFile(const char* path)
{
    char buf[dpatch_kPathBufSize];
    if (!dpatch_copyWithoutTrailingSlashes(path, buf))
        return 0;
    return remove(buf) == 0;
}

BOOL deleteDirectory(const char* path)
{
    char buf[dpatch_kPathBufSize];
    if (!dpatch_copyWithoutTrailingSlashes(path, buf))
        return 0;
    return rmdir(buf) == 0;
}

void dpatch_printOsError(const char* what, const char* path, const char* path2, int error)
{
    if (path2)
        dpatch_fprintf(stderr, "%s \"%s\" to \"%s\": %s\n", what, path ? path : "", path2, strerror(error));
    else
        dpatch_fprintf(stderr, "%s \"%s\": %s\n", what, path ? path : "", strerror(error));
}

BOOL openForRead(const char* path, FILE** out_file, dpatch_StreamPos_t* out_size)
{
    if (!out_file)
        return 0;
    FILE* file = fopen(path, "rb");
    if (!file)
        return 0;
    if (out_size && !fileSizeOf(file, out_size)) {
        fclose(file);
        return 0;
    }
    *out_file = file;
    return 1;
}

BOOL openForCreate(const char* path, FILE** out_file)
{
    if (!out_file)
        return 0;
    FILE* file = fopen(path, "wb+");
    if (!file)
        return 0;
    *out_file = file;
    return 1;
}

BOOL openForAppend(const char* path, FILE** out_file, dpatch_StreamPos_t* out_size)
{
    if (!out_file)
        return 0;
    FILE* file = fopen(path, "rb+");
    if (!file)
        return 0;
    off_t end = -1;
    if (fseeko(file, 0, SEEK_END) == 0)
        end = ftello(file);
    if (end < 0) {
        fclose(file);
        return 0;
    }
    if (out_size)
        *out_size = (dpatch_StreamPos_t)end;
    *out_file = file;
    return 1;
}

BOOL writeChunked(FILE* file, const dpatch_byte* data, const dpatch_byte* data_end)
{
    return inChunks(data, data_end, [file](const dpatch_byte* piece, size_t length) {
        return fwrite(piece, 1, length, file) == length;
    });
}
