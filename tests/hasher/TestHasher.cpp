#include "hasher/Blake3Tree.h"
#include "hasher/HashPool.h"
#include "hasher/ProcessorCount.h"
#include "hasher/hasher.h"
#include "support/Files.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr qint64 maxSize = 64 * 1024 * 1024 + 1;

QByteArray hex(const uint8_t* digest)
{
    return QByteArray(reinterpret_cast<const char*>(digest), 32).toHex();
}

QByteArray serialDigest(const QByteArray& data)
{
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, data.constData(), size_t(data.size()));
    uint8_t out[32];
    blake3_hasher_finalize(&hasher, out, 32);
    return hex(out);
}

struct HashResult
{
    std::vector<QByteArray> digests; // hex, or empty when the flag was 0 and the slot stayed zero
    std::vector<int> flags;
};

HashResult hashPaths(const QList<QByteArray>& paths)
{
    std::vector<const char*> pointers;
    for (const QByteArray& path : paths)
        pointers.push_back(path.constData());
    std::vector<uint8_t> digestSlots(paths.size() * 32, 0);
    std::vector<uint8_t> flags(paths.size(), 0);
    hash_files(pointers.data(), digestSlots.data(), flags.data(), int32_t(paths.size()));
    HashResult result;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const uint8_t* slot = digestSlots.data() + i * 32;
        const bool zero = std::all_of(slot, slot + 32, [](uint8_t b) { return b == 0; });
        result.digests.push_back(zero ? QByteArray() : hex(slot));
        result.flags.push_back(flags[i]);
    }
    return result;
}

} // namespace

class TestHasher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void hashFilesMatchesB3sum_data();
    void hashFilesMatchesB3sum();
    void wholeTableInOneCall();
    void treeUpdateMatchesB3sum_data();
    void treeUpdateMatchesB3sum();
    void treeUpdateMixesWithSerialUpdates_data();
    void treeUpdateMixesWithSerialUpdates();
    void nonPositiveCountTouchesNothing_data();
    void nonPositiveCountTouchesNothing();
    void singleFileRunsOnCallingThread();
    void unhashableEntriesFailAlone_data();
    void unhashableEntriesFailAlone();
    void samePathTwiceGivesSameDigest();
    void nonUtf8PathIsOpenedByItsBytes();
    void sparseFileAbove4GiBMatchesB3sum();
    void fileTruncatedWhileHashedNeverGivesAWrongDigest_data();
    void fileTruncatedWhileHashedNeverGivesAWrongDigest();
    void processorCountFollowsAffinityMask();
    void cgroupQuotaLimitsProcessors_data();
    void cgroupQuotaLimitsProcessors();

private:
    QString sizedFile(qint64 size) const { return dir.filePath(QString("size-%1.bin").arg(size)); }

    QTemporaryDir dir;
    QByteArray pattern; // every sized file holds a prefix of these bytes
    QList<qint64> sizes;
    QHash<qint64, QByteArray> b3sumDigests;
};

void TestHasher::initTestCase()
{
    QVERIFY(dir.isValid());
    sizes = {0, 1, 1023, 1024, 1025, 2047, 2049, 16383, 16384, 16385, 65535, 65536, 65537};
    // Where the way of reading changes: one buffer's worth, and hashing by leaves on the pool.
    for (qint64 threshold : {qint64(hasher::threadBufferSize), qint64(hasher::parallelReadThreshold)})
        for (qint64 size : {threshold - 1, threshold, threshold + 1, 2 * threshold - 1, 2 * threshold + 1})
            if (!sizes.contains(size))
                sizes << size;
    for (int bits = 11; bits <= 26; ++bits) {
        const qint64 power = qint64(1) << bits;
        for (qint64 size : {power - 1, power, power + 1})
            if (!sizes.contains(size))
                sizes << size;
    }
    // Fixed "random" sizes so that a failure can be reproduced.
    sizes << 5000 << 123457 << 3000001 << 17000003 << 50331651;

    // Pseudo-random contents: with repetitive data, swapped or misplaced subtrees could still
    // produce the right chaining values.
    pattern.resize(maxSize);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (qint64 i = 0; i < maxSize; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        pattern[i] = char(state >> 32);
    }

    QStringList files;
    for (qint64 size : sizes) {
        writeFile(sizedFile(size), QByteArray::fromRawData(pattern.constData(), size));
        files << sizedFile(size);
    }
    QProcess b3sum;
    b3sum.start("b3sum", files);
    QVERIFY2(b3sum.waitForFinished(120000), "b3sum (Debian package b3sum) must be installed");
    QCOMPARE(b3sum.exitCode(), 0);
    const QList<QByteArray> lines = b3sum.readAllStandardOutput().split('\n');
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const QByteArray digest = line.left(64);
        const QString path = QString::fromUtf8(line.mid(66));
        for (qint64 size : sizes)
            if (path == sizedFile(size))
                b3sumDigests.insert(size, digest);
    }
    QCOMPARE(b3sumDigests.size(), sizes.size());
}

void TestHasher::hashFilesMatchesB3sum_data()
{
    QTest::addColumn<qint64>("size");
    for (qint64 size : sizes)
        QTest::addRow("%lld bytes", size) << size;
}

void TestHasher::hashFilesMatchesB3sum()
{
    QFETCH(qint64, size);
    const HashResult result = hashPaths({QFile::encodeName(sizedFile(size))});
    QCOMPARE(result.flags[0], 1);
    QCOMPARE(result.digests[0], b3sumDigests.value(size));
}

// Large and small files interleaved on the pool, each index writing only its own slot.
void TestHasher::wholeTableInOneCall()
{
    QList<QByteArray> paths;
    for (qint64 size : sizes)
        paths << QFile::encodeName(sizedFile(size));
    const HashResult result = hashPaths(paths);
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        QCOMPARE(result.flags[i], 1);
        QCOMPARE(result.digests[i], b3sumDigests.value(sizes[i]));
    }
}

void TestHasher::treeUpdateMatchesB3sum_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("leafChunks");
    for (qint64 size : sizes) {
        QTest::addRow("%lld bytes, default leaves", size) << size << int(hasher::defaultLeafChunks);
        // Forking down to single chunks exercises every join and parent compression.
        if (size <= 4 * 1024 * 1024 + 1)
            QTest::addRow("%lld bytes, one-chunk leaves", size) << size << 1;
    }
}

void TestHasher::treeUpdateMatchesB3sum()
{
    QFETCH(qint64, size);
    QFETCH(int, leafChunks);
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    hasher::blake3UpdateParallel(&hasher, pattern.constData(), size_t(size), size_t(leafChunks));
    uint8_t out[32];
    blake3_hasher_finalize(&hasher, out, 32);
    QCOMPARE(hex(out), b3sumDigests.value(size));
}

// The tree update must leave the hasher exactly as the serial update would, whatever state it
// starts from: a partial chunk, a stack of unmerged subtrees, or a boundary not aligned to the
// next power of two.
void TestHasher::treeUpdateMixesWithSerialUpdates_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QList<qint64>>("cuts");   // lengths of successive updates, the rest goes last
    QTest::addColumn<QList<bool>>("parallel"); // per update, including the last one
    QTest::newRow("one byte serial, then tree") << qint64(1048577) << QList<qint64>{1} << QList<bool>{false, true};
    QTest::newRow("partial chunk completed by tree")
        << qint64(1048577) << QList<qint64>{1023} << QList<bool>{false, true};
    QTest::newRow("whole chunk serial, then tree")
        << qint64(1048577) << QList<qint64>{1024} << QList<bool>{false, true};
    QTest::newRow("chunk and a byte, then tree") << qint64(4194303) << QList<qint64>{1025} << QList<bool>{false, true};
    QTest::newRow("odd chunk count before tree")
        << qint64(4194303) << QList<qint64>{3 * 1024} << QList<bool>{true, true};
    QTest::newRow("tree, serial, tree") << qint64(3000001) << QList<qint64>{5 * 1024 + 7, 100000}
                                        << QList<bool>{true, false, true};
    QTest::newRow("tree ending on a chunk boundary, then serial")
        << qint64(1048577) << QList<qint64>{65536} << QList<bool>{true, false};
    QTest::newRow("tree update of a few bytes only")
        << qint64(2049) << QList<qint64>{1000, 24} << QList<bool>{true, true, true};
}

void TestHasher::treeUpdateMixesWithSerialUpdates()
{
    QFETCH(qint64, size);
    QFETCH(QList<qint64>, cuts);
    QFETCH(QList<bool>, parallel);
    QCOMPARE(parallel.size(), cuts.size() + 1);
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    qint64 offset = 0;
    for (qsizetype i = 0; i <= cuts.size(); ++i) {
        const qint64 length = i < cuts.size() ? cuts[i] : size - offset;
        if (parallel[i])
            hasher::blake3UpdateParallel(&hasher, pattern.constData() + offset, size_t(length), 1);
        else
            blake3_hasher_update(&hasher, pattern.constData() + offset, size_t(length));
        offset += length;
    }
    uint8_t out[32];
    blake3_hasher_finalize(&hasher, out, 32);
    QCOMPARE(hex(out), b3sumDigests.value(size));
}

void TestHasher::nonPositiveCountTouchesNothing_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -1;
    QTest::newRow("most negative") << int(INT32_MIN);
}

void TestHasher::nonPositiveCountTouchesNothing()
{
    QFETCH(int, count);
    // Paths that would fail and so clear their flags if they were processed at all.
    const QByteArray missing = QFile::encodeName(dir.filePath("missing"));
    const char* paths[2] = {missing.constData(), missing.constData()};
    uint8_t digestSlots[64];
    uint8_t flags[2];
    std::memset(digestSlots, 0xAA, sizeof digestSlots);
    std::memset(flags, 0xAA, sizeof flags);
    hash_files(paths, digestSlots, flags, count);
    QVERIFY(std::all_of(digestSlots, digestSlots + 64, [](uint8_t b) { return b == 0xAA; }));
    QVERIFY(std::all_of(flags, flags + 2, [](uint8_t b) { return b == 0xAA; }));
}

// /proc/thread-self/comm reads back the name of whichever thread opens it, so its digest tells
// which thread did the work.
void TestHasher::singleFileRunsOnCallingThread()
{
    char oldName[16] = {};
    pthread_getname_np(pthread_self(), oldName, sizeof oldName);
    QCOMPARE(pthread_setname_np(pthread_self(), "hash-caller"), 0);
    const HashResult result = hashPaths({"/proc/thread-self/comm"});
    pthread_setname_np(pthread_self(), oldName);
    QCOMPARE(result.flags[0], 1);
    QCOMPARE(result.digests[0], serialDigest("hash-caller\n"));
}

void TestHasher::unhashableEntriesFailAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("directory") << "directory";
    QTest::newRow("symlink to a directory") << "dirlink";
    QTest::newRow("missing file") << "missing";
    QTest::newRow("broken symlink") << "broken";
    QTest::newRow("fifo without writer must not hang") << "fifo";
    QTest::newRow("endless character device") << "devzero";
}

void TestHasher::unhashableEntriesFailAlone()
{
    QFETCH(QString, kind);
    const QString base = dir.filePath("bad-" + kind);
    QDir().mkpath(dir.filePath("a-directory"));
    if (kind == "directory")
        QVERIFY(QDir().mkpath(base));
    else if (kind == "dirlink")
        QVERIFY(QFile::link(dir.filePath("a-directory"), base));
    else if (kind == "broken")
        QVERIFY(QFile::link(dir.filePath("nowhere"), base));
    else if (kind == "fifo")
        QCOMPARE(mkfifo(QFile::encodeName(base).constData(), 0600), 0);
    else if (kind == "devzero")
        QVERIFY(QFile::link("/dev/zero", base));

    // Neighbours on both sides, small (read) and large (mapped), must be unaffected.
    const QList<qint64> neighbours = {1025, 16384, 1048577, 0};
    QList<QByteArray> paths;
    for (int i = 0; i < 2; ++i)
        paths << QFile::encodeName(sizedFile(neighbours[i]));
    paths << QFile::encodeName(base);
    for (int i = 2; i < 4; ++i)
        paths << QFile::encodeName(sizedFile(neighbours[i]));

    const HashResult result = hashPaths(paths);
    QCOMPARE(result.flags[2], 0);
    QVERIFY2(result.digests[2].isEmpty(), "slot of a failed file must keep the caller's zeros");
    for (int i = 0; i < 4; ++i) {
        const int index = i < 2 ? i : i + 1;
        QCOMPARE(result.flags[index], 1);
        QCOMPARE(result.digests[index], b3sumDigests.value(neighbours[i]));
    }
    // Alone, the failing entry takes the calling-thread path.
    const HashResult alone = hashPaths({QFile::encodeName(base)});
    QCOMPARE(alone.flags[0], 0);
    QVERIFY(alone.digests[0].isEmpty());
}

void TestHasher::samePathTwiceGivesSameDigest()
{
    const QByteArray big = QFile::encodeName(sizedFile(4194305));
    const QByteArray small = QFile::encodeName(sizedFile(1023));
    const HashResult result = hashPaths({big, small, big, small});
    QCOMPARE(result.flags, (std::vector<int>{1, 1, 1, 1}));
    QCOMPARE(result.digests[0], b3sumDigests.value(4194305));
    QCOMPARE(result.digests[2], b3sumDigests.value(4194305));
    QCOMPARE(result.digests[1], b3sumDigests.value(1023));
    QCOMPARE(result.digests[3], b3sumDigests.value(1023));
}

void TestHasher::nonUtf8PathIsOpenedByItsBytes()
{
    const QByteArray contents = "latin-1 name\n";
    const QByteArray path = QFile::encodeName(dir.path()) + "/caf\xe9-\xff\xfe.bin";
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, contents.constData(), size_t(contents.size())), ssize_t(contents.size()));
    ::close(fd);
    const HashResult result = hashPaths({path});
    // The framework cannot name this file, so its temporary folder could not remove it.
    ::unlink(path.constData());
    QCOMPARE(result.flags[0], 1);
    QCOMPARE(result.digests[0], serialDigest(contents));
}

// A file of more than 4 GiB, sparse so it costs no disk, with data around the 32-bit boundary: no
// offset or length may be cut to 32 bits anywhere.
void TestHasher::sparseFileAbove4GiBMatchesB3sum()
{
    const QString path = dir.filePath("sparse-above-4GiB.bin");
    const qint64 size = (qint64(1) << 32) + 3 * 1024 * 1024 + 5;
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(ftruncate(fd, size), 0);
    for (qint64 offset : {qint64(0), (qint64(1) << 32) - 100000, (qint64(1) << 32) + 1, size - 70000})
        QCOMPARE(pwrite(fd, pattern.constData(), 70000, offset), ssize_t(70000));
    ::close(fd);

    QProcess b3sum;
    b3sum.start("b3sum", {"--no-names", path});
    QVERIFY(b3sum.waitForFinished(300000));
    QCOMPARE(b3sum.exitCode(), 0);
    const QByteArray expected = b3sum.readAllStandardOutput().trimmed();
    const HashResult result = hashPaths({QFile::encodeName(path)});
    QFile::remove(path);
    QCOMPARE(result.flags[0], 1);
    QCOMPARE(result.digests[0], expected);
}

void TestHasher::fileTruncatedWhileHashedNeverGivesAWrongDigest_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("read through one buffer") << qint64(hasher::parallelReadThreshold / 2 + 12345);
    QTest::newRow("read by leaves on the pool") << qint64(8 * 1024 * 1024 + 777);
}

// Another thread cuts the file short and writes the cut part back, again and again, while the
// file is hashed over and over (alone, and among other files). Every result must be flag 0 or the
// digest of a state the file was in; a read that mixes states, or that ends early, must never come
// with flag 1. A mapped file would have killed the process with SIGBUS instead.
void TestHasher::fileTruncatedWhileHashedNeverGivesAWrongDigest()
{
    QFETCH(qint64, size);
    const QString path = dir.filePath("truncated-in-a-loop.bin");
    const QByteArray contents = QByteArray::fromRawData(pattern.constData(), size);
    writeFile(path, contents);
    const QByteArray encoded = QFile::encodeName(path);
    constexpr int cutPoints = 7;
    const QByteArray whole = serialDigest(contents);
    // The states the file passes through: cut at one of the cutter's lengths, and while a cut part
    // is written back, every length up to which the kernel has already copied it, a page boundary.
    QList<qint64> lengths{size};
    for (int cut = 0; cut < cutPoints; ++cut)
        lengths << (size / cutPoints) * cut;
    for (qint64 length = 4096; length < size; length += 4096)
        lengths << length;
    std::sort(lengths.begin(), lengths.end());
    QSet<QByteArray> consistent;
    blake3_hasher prefix;
    blake3_hasher_init(&prefix);
    qint64 fed = 0;
    for (qint64 length : lengths) {
        blake3_hasher_update(&prefix, contents.constData() + fed, size_t(length - fed));
        fed = length;
        blake3_hasher state = prefix;
        uint8_t out[32];
        blake3_hasher_finalize(&state, out, 32);
        consistent.insert(hex(out));
    }

    struct Cutter
    {
        std::atomic<bool> stop{false};
        std::atomic<int> cuts{0};
        std::thread thread;
        ~Cutter()
        {
            stop = true;
            if (thread.joinable())
                thread.join();
        }
    } cutter;
    cutter.thread = std::thread([&] {
        const int fd = ::open(encoded.constData(), O_WRONLY);
        for (int round = 0; fd >= 0 && !cutter.stop; ++round) {
            const qint64 keep = (size / cutPoints) * (round % cutPoints);
            if (ftruncate(fd, keep) != 0 ||
                pwrite(fd, contents.constData() + keep, size_t(size - keep), keep) != ssize_t(size - keep))
                break;
            cutter.cuts.fetch_add(1);
        }
        if (fd >= 0)
            ::close(fd);
    });

    int rounds = 0;
    int complete = 0;
    int failed = 0;
    QDeadlineTimer deadline(3000);
    while (!deadline.hasExpired() || rounds < 20) {
        const QList<QByteArray> paths = rounds % 2 == 0
                                            ? QList<QByteArray>{encoded}
                                            : QList<QByteArray>{QFile::encodeName(sizedFile(1025)), encoded, encoded};
        const HashResult result = hashPaths(paths);
        for (qsizetype i = 0; i < paths.size(); ++i) {
            if (paths[i] != encoded)
                continue;
            if (result.flags[size_t(i)] == 1) {
                QVERIFY2(consistent.contains(result.digests[size_t(i)]), result.digests[size_t(i)].constData());
                complete += result.digests[size_t(i)] == whole ? 1 : 0;
            } else {
                QVERIFY2(result.digests[size_t(i)].isEmpty(), "slot of a failed file must keep the caller's zeros");
                ++failed;
            }
        }
        ++rounds;
    }
    cutter.stop = true;
    cutter.thread.join();
    qInfo() << rounds << "rounds," << cutter.cuts.load() << "cuts," << complete << "whole digests," << failed
            << "flags 0";
    QVERIFY(cutter.cuts.load() > 0);

    // Left alone again, the file hashes as usual.
    const HashResult after = hashPaths({encoded});
    QCOMPARE(after.flags[0], 1);
    QCOMPARE(after.digests[0], whole);
}

void TestHasher::processorCountFollowsAffinityMask()
{
    cpu_set_t original;
    QCOMPARE(sched_getaffinity(0, sizeof original, &original), 0);
    int firstCpu = 0;
    while (!CPU_ISSET(firstCpu, &original))
        ++firstCpu;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(firstCpu, &one);
    QCOMPARE(sched_setaffinity(0, sizeof one, &one), 0);
    const int restricted = hasher::availableProcessorCount();
    QCOMPARE(sched_setaffinity(0, sizeof original, &original), 0);
    QCOMPARE(restricted, 1);
    QVERIFY(hasher::availableProcessorCount() <= CPU_COUNT(&original));
}

void TestHasher::cgroupQuotaLimitsProcessors_data()
{
    // files: relative path -> contents, below a fake mount point.
    QTest::addColumn<QString>("mountLine"); // %1 is replaced by the fake mount point
    QTest::addColumn<QString>("procCgroup");
    QTest::addColumn<QStringList>("files"); // pairs of relative path and contents
    QTest::addColumn<int>("expected");      // 0 for no limit

    const QString v2 = "40 30 0:36 / %1 rw,relatime - cgroup2 cgroup2 rw";
    const QString v1 = "31 30 0:28 / %1 rw,relatime - cgroup cgroup rw,cpu,cpuacct";
    QTest::newRow("v2 fractional quota rounds up")
        << v2 << "0::/app" << QStringList{"app/cpu.max", "150000 100000"} << 2;
    QTest::newRow("v2 no quota") << v2 << "0::/app" << QStringList{"app/cpu.max", "max 100000"} << 0;
    QTest::newRow("v2 tiny quota still one") << v2 << "0::/app" << QStringList{"app/cpu.max", "1000 100000"} << 1;
    QTest::newRow("v2 ancestor limit applies")
        << v2 << "0::/a/b" << QStringList{"a/cpu.max", "300000 100000", "a/b/cpu.max", "max 100000"} << 3;
    QTest::newRow("v2 container sees its group at the root")
        << v2 << "0::/" << QStringList{"cpu.max", "200000 100000"} << 2;
    QTest::newRow("v1 cfs quota") << v1 << "3:cpu,cpuacct:/job"
                                  << QStringList{"job/cpu.cfs_quota_us", "250000\n", "job/cpu.cfs_period_us",
                                                 "100000\n"}
                                  << 3;
    QTest::newRow("v1 unlimited quota") << v1 << "3:cpu,cpuacct:/job"
                                        << QStringList{"job/cpu.cfs_quota_us", "-1\n", "job/cpu.cfs_period_us",
                                                       "100000\n"}
                                        << 0;
    QTest::newRow("v1 mount without cpu controller ignored")
        << "31 30 0:28 / %1 rw - cgroup cgroup rw,memory"
        << "3:cpu:/job" << QStringList{"job/cpu.cfs_quota_us", "100000", "job/cpu.cfs_period_us", "100000"} << 0;
    QTest::newRow("group outside the mount's root ignored")
        << "40 30 0:36 /other %1 rw - cgroup2 cgroup2 rw"
        << "0::/app" << QStringList{"cpu.max", "100000 100000"} << 0;
    QTest::newRow("mount root stripped from group path")
        << "40 30 0:36 /docker/x %1 rw - cgroup2 cgroup2 rw"
        << "0::/docker/x/job" << QStringList{"job/cpu.max", "400000 100000"} << 4;
    QTest::newRow("garbage files read as no limit") << v2 << "0::/app" << QStringList{"app/cpu.max", "lots"} << 0;
}

void TestHasher::cgroupQuotaLimitsProcessors()
{
    QFETCH(QString, mountLine);
    QFETCH(QString, procCgroup);
    QFETCH(QStringList, files);
    QFETCH(int, expected);
    QTemporaryDir mount;
    QVERIFY(mount.isValid());
    for (qsizetype i = 0; i + 1 < files.size(); i += 2) {
        const QString path = mount.filePath(files[i]);
        QDir().mkpath(QFileInfo(path).path());
        writeFile(path, files[i + 1].toUtf8());
    }
    const std::string mountInfo =
        ("22 1 0:20 / / rw - ext4 /dev/vda rw\n" + mountLine.arg(mount.path()) + "\n").toStdString();
    const auto limit = hasher::cgroupCpuLimit(mountInfo, procCgroup.toStdString() + "\n");
    QCOMPARE(limit.value_or(0), expected);
}

QTEST_GUILESS_MAIN(TestHasher)
#include "TestHasher.moc"
