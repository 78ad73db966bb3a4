#include "patch/drivers/in_place_record.h"

#include "patch/core/dpatch_log.h"
#include "patch/os/file_services.h"

#include <blake3.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const char kRecordMark[] = "dirpatch in-place record 2\n";
// The mark of the records of earlier builds: the diff named by its size and ends, no boot, no new tree.
const char kFirstRecordMark[] = "dirpatch in-place record 1\n";
// How much of each end of the diff the earlier builds' identity reads.
const dpatch_StreamPos_t kFirstIdentityPiece = 1024 * 1024;
const size_t kRecordMaxSize = 1024;

// The fields after the mark of a record of this build; anything out of its strict form is no record.
BOOL parseRecord(const char* text, TInPlaceRecord* out)
{
    char boot[40] = {0};
    char digest[72] = {0};
    unsigned long long device = 0;
    unsigned long long inode = 0;
    unsigned long long owner = 0;
    int used = 0;
    if (sscanf(text, "boot %36[-0-9a-f]\nold %llu %llu %llu\ndiff blake3 %64[0-9a-f]\n%n", boot, &device, &inode,
               &owner, digest, &used) != 5 ||
        used == 0 || strlen(digest) != 64 || text[used - 1] != '\n')
        return 0;
    const char* rest = text + used;
    if (*rest != '\0') {
        int newUsed = 0;
        if (sscanf(rest, "new %llu %llu\n%n", &out->fresh.device, &out->fresh.inode, &newUsed) != 2 || newUsed == 0 ||
            rest[newUsed] != '\0' || rest[newUsed - 1] != '\n')
            return 0;
        out->hasNew = 1;
    }
    out->boot = boot;
    out->old.device = device;
    out->old.inode = inode;
    out->oldOwner = owner;
    out->diff = std::string("blake3 ") + digest;
    out->version = 2;
    return 1;
}

BOOL parseFirstRecord(const char* text, TInPlaceRecord* out)
{
    char hash[64] = {0};
    unsigned long long size = 0;
    if (sscanf(text, "old %llu %llu\ndiff %llu %63s", &out->old.device, &out->old.inode, &size, hash) != 4)
        return 0;
    char diff[128];
    snprintf(diff, sizeof(diff), "%llu %s", size, hash);
    out->diff = diff;
    out->version = 1;
    return 1;
}

BOOL isIdentity(const struct stat& info, const TInPlaceIdentity& id, BOOL compareDevice)
{
    return (unsigned long long)info.st_ino == id.inode &&
           (!compareDevice || (unsigned long long)info.st_dev == id.device);
}
} // namespace

int inPlaceRecord_read(const char* path, TInPlaceRecord* out)
{
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;
        if (errno == ELOOP)
            inPlace_refuse("not a record of this patcher, in the way:", path);
        else
            dpatch_printOsError("can't read", path, 0, errno);
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(fd);
        inPlace_refuse("not a record of this patcher, in the way:", path);
        return -1;
    }
    out->file.device = (unsigned long long)info.st_dev;
    out->file.inode = (unsigned long long)info.st_ino;
    char text[kRecordMaxSize + 1];
    size_t length = 0;
    while (length < sizeof(text) - 1) {
        const ssize_t got = read(fd, text + length, sizeof(text) - 1 - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += (size_t)got;
    }
    close(fd);
    text[length] = '\0';
    out->isEmpty = length == 0;
    if (length >= kRecordMaxSize || strlen(text) != length)
        return 1;
    const size_t markLength = sizeof(kRecordMark) - 1;
    if (length >= markLength && memcmp(text, kRecordMark, markLength) == 0)
        parseRecord(text + markLength, out);
    else if (length >= markLength && memcmp(text, kFirstRecordMark, markLength) == 0)
        parseFirstRecord(text + markLength, out);
    return 1;
}

BOOL inPlaceRecord_remove(const char* path, const TInPlaceIdentity& file)
{
    const TInPlaceLook seen = inPlace_look(path);
    if (seen.kind == 0)
        return 1;
    if (seen.kind != 2 || !S_ISREG(seen.info.st_mode) || seen.info.st_uid != geteuid() ||
        !isIdentity(seen.info, file, 1)) {
        inPlace_refuseInTheWay(path);
        return 0;
    }
    if (unlink(path) == 0 || errno == ENOENT)
        return 1;
    dpatch_printOsError("can't remove", path, 0, errno);
    return 0;
}

BOOL inPlaceRecord_create(const char* path, const char* bootId, dev_t oldDevice, ino_t oldInode, uid_t oldOwner,
                          const char* diffIdentity, int* out_fd)
{
    char text[512];
    const int length = snprintf(text, sizeof(text), "%sboot %s\nold %llu %llu %llu\ndiff %s\n", kRecordMark, bootId,
                                (unsigned long long)oldDevice, (unsigned long long)oldInode,
                                (unsigned long long)oldOwner, diffIdentity);
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        dpatch_printOsError("can't create", path, 0, errno);
        return 0;
    }
    // one write: a kill can't leave half a record
    const ssize_t written = write(fd, text, (size_t)length);
    if (written != length) {
        dpatch_printOsError("can't write", path, 0, written < 0 ? errno : ENOSPC);
        close(fd);
        unlink(path);
        return 0;
    }
    *out_fd = fd;
    return 1;
}

BOOL inPlaceRecord_noteNewTree(int fd, const char* path, dev_t newDevice, ino_t newInode)
{
    char text[128];
    const int length =
        snprintf(text, sizeof(text), "new %llu %llu\n", (unsigned long long)newDevice, (unsigned long long)newInode);
    // one write
    const ssize_t written = fd >= 0 ? write(fd, text, (size_t)length) : -1;
    if (written == length)
        return 1;
    dpatch_printOsError("can't write", path, 0, written < 0 ? errno : ENOSPC);
    return 0;
}

TInPlaceRecordedNames::TInPlaceRecordedNames(const TInPlaceRecord& record, const char* bootId)
    : record(record), compareDevice(record.version < 2 || (record.boot == bootId && strcmp(bootId, "-") != 0))
{}

bool TInPlaceRecordedNames::isOld(const TInPlaceLook& seen) const
{
    return seen.kind == 1 && isIdentity(seen.info, record.old, compareDevice);
}

bool TInPlaceRecordedNames::isAside(const TInPlaceLook& seen) const
{
    return isOld(seen) && (record.version < 2 || (unsigned long long)seen.info.st_uid == record.oldOwner);
}

bool TInPlaceRecordedNames::isNew(const TInPlaceLook& seen) const
{
    if (seen.kind != 1 || seen.info.st_uid != geteuid())
        return false;
    return record.hasNew ? isIdentity(seen.info, record.fresh, compareDevice) : !isOld(seen);
}

BOOL inPlaceRecord_digestDiff(const char* diffFile, dpatch_StreamPos_t offset, dpatch_StreamPos_t size, char* out,
                              size_t outSize)
{
    const int fd = open(diffFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close(fd);
        return 0;
    }
    if (offset == 0)
        size = (dpatch_StreamPos_t)info.st_size;
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    static unsigned char buf[256 * 1024];
    BOOL result = 1;
    for (dpatch_StreamPos_t pos = 0; result && pos < size;) {
        const size_t want = size - pos < sizeof(buf) ? (size_t)(size - pos) : sizeof(buf);
        const ssize_t got = pread(fd, buf, want, (off_t)(offset + pos));
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            result = 0;
            break;
        }
        blake3_hasher_update(&hasher, buf, (size_t)got);
        pos += (dpatch_StreamPos_t)got;
    }
    close(fd);
    uint8_t digest[BLAKE3_OUT_LEN];
    blake3_hasher_finalize(&hasher, digest, sizeof(digest));
    int length = snprintf(out, outSize, "blake3 ");
    for (size_t i = 0; i < sizeof(digest) && length > 0 && (size_t)length < outSize; ++i)
        length += snprintf(out + length, outSize - (size_t)length, "%02x", digest[i]);
    return result;
}

BOOL inPlaceRecord_identifyDiffAsEarlierBuilds(const char* diffFile, dpatch_StreamPos_t offset, dpatch_StreamPos_t size,
                                               char* out, size_t outSize)
{
    FILE* file = fopen(diffFile, "rb");
    if (!file)
        return 0;
    if (offset == 0) {
        if (fseeko(file, 0, SEEK_END) != 0) {
            fclose(file);
            return 0;
        }
        size = (dpatch_StreamPos_t)ftello(file);
    }
    uint64_t hash = 1469598103934665603ull;
    const auto mix = [&hash](const unsigned char* data, size_t length) {
        for (size_t i = 0; i < length; ++i)
            hash = (hash ^ data[i]) * 1099511628211ull;
    };
    const dpatch_StreamPos_t firstEnd = size < kFirstIdentityPiece ? size : kFirstIdentityPiece;
    const dpatch_StreamPos_t lastBegin = size > kFirstIdentityPiece ? size - kFirstIdentityPiece : firstEnd;
    static unsigned char buf[64 * 1024];
    BOOL result = 1;
    for (int part = 0; part < 2 && result; ++part) {
        dpatch_StreamPos_t pos = part == 0 ? 0 : (lastBegin > firstEnd ? lastBegin : firstEnd);
        const dpatch_StreamPos_t end = part == 0 ? firstEnd : size;
        if (fseeko(file, (off_t)(offset + pos), SEEK_SET) != 0)
            result = 0;
        while (result && pos < end) {
            const size_t want = end - pos < sizeof(buf) ? (size_t)(end - pos) : sizeof(buf);
            if (fread(buf, 1, want, file) != want)
                result = 0;
            mix(buf, want);
            pos += want;
        }
    }
    fclose(file);
    snprintf(out, outSize, "%llu %016llx", (unsigned long long)size, (unsigned long long)hash);
    return result;
}

void inPlaceRecord_readBootId(char* out, size_t outSize)
{
    snprintf(out, outSize, "-");
    FILE* file = fopen("/proc/sys/kernel/random/boot_id", "rb");
    if (!file)
        return;
    char text[64] = {0};
    if (fgets(text, sizeof(text), file)) {
        text[strcspn(text, "\n")] = '\0';
        if (text[0] != '\0' && strlen(text) < outSize && strspn(text, "0123456789abcdef-") == strlen(text))
            snprintf(out, outSize, "%s", text);
    }
    fclose(file);
}
