#include "jobs/GameFilesHashJob.h"

#include "hasher/hasher.h"
#include "jobs/GameFileInfo.h"
#include "jobs/LauncherTemporaries.h"
#include "jobs/ParallelSlices.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <QList>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// What the walk saw of one file: its path relative to the install directory, and the size and
// modification time (whole milliseconds, as the framework reports file times) of the file itself
// or, for a symbolic link, of its target.
struct WalkedFile
{
    QString relativePath;
    qint64 size;
    qint64 lastModified;
};

qint64 milliseconds(const timespec& time)
{
    return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

// Names that are not valid UTF-8 cannot be named by the launcher's paths: decoding replaces the
// bad bytes, and the decoded path opens no file. They are passed over, as unreadable entries
// of no interest.
bool decodes(const QByteArray& name, QString& decoded)
{
    decoded = QFile::decodeName(name);
    for (char c : name) {
        if (c & 0x80)
            return QFile::encodeName(decoded) == name;
    }
    return true;
}

// The entries of one directory in the order the file system returns them: files, and at their
// places the listings of its subdirectories, which other threads may fill.
struct DirListing
{
    QString relativePath; // empty for the install directory itself
    std::vector<WalkedFile> files;
    std::vector<std::pair<size_t, std::unique_ptr<DirListing>>> children; // (files before it, listing)

    void flattenInto(std::vector<WalkedFile>& out)
    {
        size_t next = 0;
        for (auto& [position, child] : children) {
            for (; next < position; ++next)
                out.push_back(std::move(files[next]));
            child->flattenInto(out);
        }
        for (; next < files.size(); ++next)
            out.push_back(std::move(files[next]));
    }
};

// A repair's temporary that a killed run left in the install: never a game file. A regular file of
// that name is removed (the repair of this run has not begun while the install is walked); anything
// else of that name is only passed over.
void removeLeftover(int dirFd, const char* name, const QString& prefix)
{
    struct stat status;
    if (fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
        return;
    const QString path = prefix + QFile::decodeName(name);
    if (unlinkat(dirFd, name, 0) == 0)
        qDebug() << "Removed" << path << "left in the install by an interrupted repair.";
    else
        qDebug() << "Failed to remove" << path << ":" << strerror(errno);
}

// Reads one directory into its listing; subdirectories found go to queueChild, still empty.
void listDirectory(const QString& installDir, int rootFd, DirListing& listing,
                   const std::function<void(DirListing*)>& queueChild)
{
    const int dirFd = listing.relativePath.isEmpty()
                          ? fcntl(rootFd, F_DUPFD_CLOEXEC, 0)
                          : openat(rootFd, QFile::encodeName(listing.relativePath).constData(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return;
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return;
    }
    const QString prefix = listing.relativePath.isEmpty() ? QString() : listing.relativePath + QLatin1Char('/');
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        unsigned char type = entry->d_type;
        struct stat status;
        if (type == DT_UNKNOWN) {
            if (fstatat(dirfd(dir), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISREG(status.st_mode)   ? DT_REG
                   : S_ISDIR(status.st_mode) ? DT_DIR
                   : S_ISLNK(status.st_mode) ? DT_LNK
                                             : DT_UNKNOWN;
        }
        if (type != DT_REG && type != DT_DIR && type != DT_LNK)
            continue;
        if (type != DT_DIR && LauncherTemporaries::isRepairTemporary(name)) {
            removeLeftover(dirfd(dir), name, installDir + QLatin1Char('/') + prefix);
            continue;
        }
        QString decoded;
        if (!decodes(QByteArray::fromRawData(name, qsizetype(strlen(name))), decoded))
            continue;
        if (type == DT_DIR) {
            auto child = std::make_unique<DirListing>();
            child->relativePath = prefix + decoded;
            queueChild(child.get());
            listing.children.emplace_back(listing.files.size(), std::move(child));
            continue;
        }
        // A link is taken with its target's size and time; a regular file is checked again, since
        // it may have been replaced by something else since the directory was read.
        if (fstatat(dirfd(dir), name, &status, type == DT_LNK ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (type == DT_REG && !S_ISREG(status.st_mode))
            continue;
        listing.files.push_back({prefix + decoded, qint64(status.st_size), milliseconds(status.st_mtim)});
    }
    closedir(dir);
}

// Every regular file of the install directory and every symbolic link whose target exists
// (whatever it is), depth-first in the order the file system returns entries. Entries whose names
// begin with a dot are included: a manifest may list such files or folders, and leaving them out
// would make that install fail its check on every run. Directories are entered, symbolic links
// never; FIFOs, sockets, devices and broken links are passed over, and so are the launcher's own
// temporaries (see removeLeftover). A folder that cannot be listed contributes nothing. One stat
// per entry, from the directory's handle; directories are listed by several threads at once, since
// listing and stat-ing wait on the file system far more than they compute.
std::vector<WalkedFile> walkInstall(const QString& installDir)
{
    std::vector<WalkedFile> walked;
    const int rootFd = open(QFile::encodeName(installDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return walked;

    DirListing root;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DirListing*> queue{&root};
    int busy = 0; // directories being listed
    auto work = [&] {
        std::unique_lock lock(mutex);
        while (true) {
            changed.wait(lock, [&] { return !queue.empty() || busy == 0; });
            if (queue.empty())
                return;
            DirListing* listing = queue.back();
            queue.pop_back();
            ++busy;
            lock.unlock();
            std::vector<DirListing*> found;
            listDirectory(installDir, rootFd, *listing, [&](DirListing* child) { found.push_back(child); });
            lock.lock();
            --busy;
            queue.insert(queue.end(), found.begin(), found.end());
            changed.notify_all();
        }
    };
    const unsigned threadCount = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < threadCount; ++i)
        threads.emplace_back(work);
    work();
    for (std::thread& thread : threads)
        thread.join();
    close(rootFd);

    root.flattenInto(walked);
    return walked;
}

} // namespace

GameFilesHashJob::GameFilesHashJob(QString installDir, QJsonArray cachedFileInfos, QObject* parent)
    : GameFilesHashJob(std::move(installDir), parent)
{
    setCachedFileInfos(std::move(cachedFileInfos));
}

GameFilesHashJob::GameFilesHashJob(QString installDir, QObject* parent)
    : QObject(parent), installDir(std::move(installDir)), cachedFileInfosFuture(cachedFileInfosPromise.get_future())
{}

void GameFilesHashJob::setCachedFileInfos(QJsonArray cachedFileInfos)
{
    cachedFileInfosPromise.set_value(std::move(cachedFileInfos));
}

GameFilesHashJob::~GameFilesHashJob() = default;

void GameFilesHashJob::go()
{
    qDebug() << "Starting game file hash job.";

    // The walk, which waits on the file system, runs beside the reading of the records.
    std::vector<WalkedFile> walked;
    std::thread walker([&] { walked = walkInstall(installDir); });
    const QJsonArray cachedFileInfos = cachedFileInfosFuture.get();

    // The records in array order, and an index from each "path" to its record; a later record with
    // the same path replaces an earlier one.
    const qsizetype cachedCount = cachedFileInfos.size();
    std::vector<CachedFileInfo> cache(static_cast<size_t>(cachedCount));
    std::vector<QString> cachePaths(static_cast<size_t>(cachedCount));
    forEachSlice(cachedCount, [&](qsizetype from, qsizetype to) {
        const QJsonArray records = cachedFileInfos;
        for (qsizetype i = from; i < to; ++i)
            cache[size_t(i)] = GameFileInfo::cachedFileInfo(records.at(i), &cachePaths[size_t(i)]);
    });
    QHash<QString, qsizetype> cacheIndex;
    cacheIndex.reserve(cachedCount);
    for (qsizetype i = 0; i < cachedCount; ++i)
        cacheIndex.insert(cachePaths[size_t(i)], i);
    walker.join();

    // Where each walked file went, in walk order: index i of toHash, or -1 - j for index j of reused.
    std::vector<qsizetype> walkOrder;
    walkOrder.reserve(walked.size());
    std::vector<WalkedFile> toHash;
    std::vector<std::pair<QString, qsizetype>> reused; // relative path and record index
    reused.reserve(size_t(cachedCount));
    for (WalkedFile& file : walked) {
        const auto cached = cacheIndex.constFind(file.relativePath);
        if (cached != cacheIndex.constEnd() && cache[size_t(*cached)].size == file.size &&
            cache[size_t(*cached)].lastModified == file.lastModified) {
            walkOrder.push_back(-1 - qsizetype(reused.size()));
            reused.emplace_back(std::move(file.relativePath), *cached);
        } else {
            walkOrder.push_back(qsizetype(toHash.size()));
            toHash.push_back(std::move(file));
        }
    }
    walked = {};

    const qsizetype hashCount = qsizetype(toHash.size());
    const qsizetype reuseCount = qsizetype(reused.size());
    qDebug() << "Found" << hashCount << "game files that require hashing.";
    qDebug() << "Found" << reuseCount << "game files that are unchanged from last hash run.";

    const QString prefix = installDir + QLatin1Char('/');
    QStringList hashPaths;
    QByteArrayList encodedPaths;
    std::vector<const char*> pathPointers;
    hashPaths.reserve(hashCount);
    encodedPaths.reserve(hashCount);
    pathPointers.reserve(size_t(hashCount));
    for (const WalkedFile& file : toHash) {
        hashPaths << prefix + file.relativePath;
        encodedPaths << QFile::encodeName(hashPaths.last());
        pathPointers.push_back(encodedPaths.last().constData());
    }
    std::vector<uint8_t> digests(size_t(hashCount) * 32, 0);
    std::vector<uint8_t> ok(size_t(hashCount), 0);
    hash_files(pathPointers.data(), digests.data(), ok.data(), int32_t(hashCount));

    QStringList failedFiles;
    for (qsizetype i = 0; i < hashCount; ++i) {
        if (!ok[size_t(i)])
            failedFiles << hashPaths[i];
    }
    if (!failedFiles.isEmpty()) {
        qDebug() << "Failed to hash following game files:" << failedFiles;
        emit failed(failedFiles);
        return;
    }

    // The results come in the walk's order, hashed and reused files alike, so that the records of an
    // install come out the same whichever of its files a run had to hash: the receipt saved after an
    // update is then what the next run, which hashes nothing, would save, and that run leaves it alone.
    // A reused record already written exactly as it would be written now is passed on as it is; when
    // every record is, in the same order, and nothing was hashed, the array itself is.
    bool sameArray = hashCount == 0 && reuseCount == cachedCount;
    for (qsizetype j = 0; j < reuseCount && sameArray; ++j)
        sameArray = reused[size_t(j)].second == j && cache[size_t(j)].canonical;
    QStringList files;
    files.reserve(hashCount + reuseCount);
    QByteArrayList hashes;
    hashes.reserve(hashCount + reuseCount);
    QJsonArray fileInfosToSave;
    for (const qsizetype place : walkOrder) {
        if (place >= 0) {
            const QByteArray digest(reinterpret_cast<const char*>(digests.data()) + place * 32, 32);
            // Size and time as the walk saw them, before hashing: a file that changes meanwhile then
            // no longer matches its record and is hashed again next time.
            const WalkedFile& file = toHash[size_t(place)];
            files << hashPaths[place];
            hashes << digest;
            fileInfosToSave.append(GameFileInfo::toJson(file.relativePath, file.size, file.lastModified, digest));
            continue;
        }
        const auto& [relativePath, index] = reused[size_t(-1 - place)];
        const CachedFileInfo& cached = cache[size_t(index)];
        files << prefix + relativePath;
        hashes << cached.hash;
        if (!sameArray) {
            fileInfosToSave.append(
                cached.canonical
                    ? cachedFileInfos.at(index)
                    : QJsonValue(GameFileInfo::toJson(relativePath, cached.size, cached.lastModified, cached.hash)));
        }
    }
    if (sameArray)
        fileInfosToSave = cachedFileInfos;

    qDebug() << "Hashed all game files successfully.";
    emit finished(files, hashes, fileInfosToSave);
}
