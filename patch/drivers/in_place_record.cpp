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
// A record may note many opened folders; a longer one is none of this patcher's, and a run notes no folder
// that would make its record that long (the line of the new tree always has its room).
const size_t kRecordMaxSize = 16 * 1024 * 1024;
const size_t kNewLineRoom = 64;

// The path of an opened line: '%' and the bytes outside '!' to '~' as %XX, R itself as ".".
std::string escapePath(const std::string& path)
{
    if (path.empty())
        return ".";
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char c : path) {
        if (c > ' ' && c < 0x7f && c != '%') {
            text += (char)c;
        } else {
            text += '%';
            text += kHex[c >> 4];
            text += kHex[c & 15];
        }
    }
    return text;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The path below R that escapePath wrote; none that leads out of R or isn't the form it writes.
BOOL unescapePath(const std::string& text, std::string* out)
{
    out->clear();
    if (text == ".")
        return 1;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = (unsigned char)text[i];
        if (c <= ' ' || c >= 0x7f)
            return 0;
        if (c != '%') {
            *out += (char)c;
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
        if (low < 0 || high * 16 + low == 0)
            return 0;
        *out += (char)(high * 16 + low);
        i += 2;
    }
    const std::string wrapped = "/" + *out + "/";
    return !out->empty() && wrapped.find("//") == std::string::npos && wrapped.find("/./") == std::string::npos &&
           wrapped.find("/../") == std::string::npos;
}

BOOL parseOpenedLine(const std::string& line, TInPlaceOpenedFolder* out)
{
    unsigned int mode = 0;
    int used = 0;
    if (sscanf(line.c_str(), "opened %llu %llu %o %n", &out->identity.device, &out->identity.inode, &mode, &used) !=
            3 ||
        used == 0 || mode > 07777)
        return 0;
    out->mode = (mode_t)mode;
    return unescapePath(line.substr((size_t)used), &out->path);
}

BOOL parseNewLine(const std::string& line, TInPlaceRecord* out)
{
    int used = 0;
    return sscanf(line.c_str(), "new %llu %llu%n", &out->fresh.device, &out->fresh.inode, &used) == 2 &&
           (size_t)used == line.size();
}

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
    // the appended lines, each whole
    for (const char* rest = text + used; *rest != '\0';) {
        const char* end = strchr(rest, '\n');
        if (!end)
            return 0;
        const std::string line(rest, end);
        rest = end + 1;
        if (line.compare(0, 4, "new ") == 0) {
            if (out->hasNew || !parseNewLine(line, out))
                return 0;
            out->hasNew = 1;
        } else {
            TInPlaceOpenedFolder folder;
            if (line.compare(0, 7, "opened ") != 0 || !parseOpenedLine(line, &folder))
                return 0;
            out->opened.push_back(folder);
        }
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

// Appends line to the record open at fd in one write, so that a kill leaves it whole or not there at all.
BOOL appendLine(int fd, const char* path, const std::string& line)
{
    const ssize_t written = fd >= 0 ? write(fd, line.data(), line.size()) : -1;
    if (written == (ssize_t)line.size())
        return 1;
    dpatch_printOsError("can't write", path, 0, written < 0 ? errno : ENOSPC);
    return 0;
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
    std::string text;
    char buf[4096];
    while (text.size() < kRecordMaxSize) {
        const ssize_t got = read(fd, buf, sizeof(buf));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buf, (size_t)got);
    }
    close(fd);
    const size_t length = text.size();
    out->isEmpty = length == 0;
    if (length >= kRecordMaxSize || strlen(text.c_str()) != length)
        return 1;
    const size_t markLength = sizeof(kRecordMark) - 1;
    if (length >= markLength && memcmp(text.c_str(), kRecordMark, markLength) == 0)
        parseRecord(text.c_str() + markLength, out);
    else if (length >= markLength && memcmp(text.c_str(), kFirstRecordMark, markLength) == 0)
        parseFirstRecord(text.c_str() + markLength, out);
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
    snprintf(text, sizeof(text), "new %llu %llu\n", (unsigned long long)newDevice, (unsigned long long)newInode);
    return appendLine(fd, path, text);
}

BOOL inPlaceRecord_noteOpenedFolder(int fd, const char* path, const TInPlaceOpenedFolder& folder)
{
    char fields[128];
    snprintf(fields, sizeof(fields), "opened %llu %llu %04o ", folder.identity.device, folder.identity.inode,
             (unsigned int)folder.mode);
    const std::string line = fields + escapePath(folder.path) + "\n";
    const off_t end = fd >= 0 ? lseek(fd, 0, SEEK_CUR) : -1;
    if (end >= 0 && (size_t)end + line.size() + kNewLineRoom >= kRecordMaxSize) {
        dpatch_printOsError("can't write", path, 0, EFBIG);
        return 0;
    }
    return appendLine(fd, path, line);
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
