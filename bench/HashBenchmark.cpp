// Measures hash_files against b3sum on the same files, warm in the page cache: (a) one 1 GiB file,
// (b) 4,000 files of 4-64 KiB, (c) 100,000 files of 0.5-8.5 KiB. The two sides run interleaved,
// five times each after a sync, and the medians are printed with the load average, since the
// machine may be shared. Prints GB/s, how many processors were busy on average and the ratio.
// The data (about 1.7 GB) is made once in the data directory (default /tmp/pelwinter-hash-bench)
// and reused by later runs. Run:
//   cmake --build build --target hash-benchmark && build/bench/hash-benchmark [data-dir]

#include "hasher/hasher.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <random>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace
{

struct DataSet
{
    std::string name;
    std::string dir;
    std::vector<std::string> files; // relative to dir
    uint64_t bytes = 0;
};

void writeFile(const std::string& path, uint64_t size, uint64_t seed)
{
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && uint64_t(existing.st_size) == size)
        return;
    fs::create_directories(fs::path(path).parent_path());
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::vector<uint64_t> buffer(1 << 17);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint64_t done = 0; done < size;) {
        for (uint64_t& word : buffer) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const uint64_t take = std::min<uint64_t>(size - done, buffer.size() * sizeof(uint64_t));
        if (std::fwrite(buffer.data(), 1, take, out) != take) {
            std::perror(path.c_str());
            std::exit(1);
        }
        done += take;
    }
    std::fclose(out);
}

DataSet makeSet(const std::string& root, const std::string& name,
                const std::function<void(std::mt19937_64&, std::vector<std::pair<std::string, uint64_t>>&)>& layout)
{
    DataSet set{name, root + "/" + name, {}, 0};
    std::mt19937_64 random(std::hash<std::string>()(name));
    std::vector<std::pair<std::string, uint64_t>> files;
    layout(random, files);
    uint64_t seed = 1;
    for (const auto& [path, size] : files) {
        writeFile(set.dir + "/" + path, size, seed++);
        set.files.push_back(path);
        set.bytes += size;
    }
    return set;
}

double cpuSeconds(int who)
{
    rusage usage;
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Timing
{
    double seconds = 0;
    double busy = 0; // average processors busy
};

double loadAverage()
{
    double load[1] = {0};
    getloadavg(load, 1);
    return load[0];
}

// One timed run, starting with nothing left to write back from the steps before it.
template <typename Run> Timing timeOnce(int who, Run run)
{
    sync();
    const double cpu0 = cpuSeconds(who);
    const double t0 = now();
    run();
    const double wall = now() - t0;
    return {wall, (cpuSeconds(who) - cpu0) / wall};
}

Timing median(std::vector<Timing> runs)
{
    std::sort(runs.begin(), runs.end(), [](const Timing& a, const Timing& b) { return a.seconds < b.seconds; });
    return runs[runs.size() / 2];
}

void runHashFiles(const DataSet& set)
{
    std::vector<std::string> full;
    std::vector<const char*> paths;
    full.reserve(set.files.size());
    for (const std::string& file : set.files)
        full.push_back(set.dir + "/" + file);
    for (const std::string& path : full)
        paths.push_back(path.c_str());
    std::vector<uint8_t> digests(paths.size() * 32, 0);
    std::vector<uint8_t> ok(paths.size(), 0);
    hash_files(paths.data(), digests.data(), ok.data(), int32_t(paths.size()));
    if (std::count(ok.begin(), ok.end(), 1) != std::ptrdiff_t(ok.size())) {
        std::fprintf(stderr, "hash_files failed on some files of %s\n", set.name.c_str());
        std::exit(1);
    }
}

// b3sum over the set's files in one process, given as relative paths.
void runB3sum(const DataSet& set)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("b3sum"));
    for (const std::string& file : set.files)
        argv.push_back(const_cast<char*>(file.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // The argument list may hold 100,000 names; the kernel allows a quarter of the stack limit.
        const rlimit stack{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_STACK, &stack);
        if (chdir(set.dir.c_str()) != 0)
            _exit(126);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        execvp("b3sum", argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "b3sum failed on %s (is the b3sum package installed?)\n", set.name.c_str());
        std::exit(1);
    }
}

void report(const char* what, uint64_t bytes, const Timing& timing)
{
    std::printf("  %-30s %8.4f s  %7.2f GB/s  %5.1f processors busy\n", what, timing.seconds,
                double(bytes) / timing.seconds / 1e9, timing.busy);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::string root = argc > 1 ? argv[1] : "/tmp/pelwinter-hash-bench";
    cpu_set_t mask;
    sched_getaffinity(0, sizeof mask, &mask);
    std::printf("Data in %s (remove it when done); %d processors in the affinity mask\n", root.c_str(),
                CPU_COUNT(&mask));

    std::printf("Preparing data sets...\n");
    std::fflush(stdout);
    std::vector<DataSet> sets;
    sets.push_back(makeSet(root, "a-one-1GiB-file", [](auto&, auto& files) {
        files.push_back({"big.bin", 1ull << 30});
    }));
    sets.push_back(makeSet(root, "b-4000-files-4-64KiB", [](auto& random, auto& files) {
        std::uniform_int_distribution<uint64_t> size(4 << 10, 64 << 10);
        for (int i = 0; i < 4000; ++i)
            files.push_back({"d" + std::to_string(i % 100) + "/f" + std::to_string(i), size(random)});
    }));
    sets.push_back(makeSet(root, "c-100000-files-0.5-8.5KiB", [](auto& random, auto& files) {
        std::uniform_int_distribution<uint64_t> size(512, 8704);
        for (int i = 0; i < 100000; ++i)
            files.push_back({"d" + std::to_string(i % 1000) + "/f" + std::to_string(i), size(random)});
    }));

    constexpr int runs = 5;
    for (const DataSet& set : sets) {
        runHashFiles(set); // warms the page cache
        runB3sum(set);
        std::vector<Timing> ours;
        std::vector<Timing> theirs;
        double loadBefore = loadAverage();
        // Interleaved, so that a burst of load from elsewhere hits both sides alike.
        for (int i = 0; i < runs; ++i) {
            ours.push_back(timeOnce(RUSAGE_SELF, [&] { runHashFiles(set); }));
            theirs.push_back(timeOnce(RUSAGE_CHILDREN, [&] { runB3sum(set); }));
        }
        const Timing a = median(ours);
        const Timing b = median(theirs);
        std::printf("\n(%s) %zu files, %.3f GB; load average %.2f before, %.2f after; medians of %d\n",
                    set.name.c_str(), set.files.size(), double(set.bytes) / 1e9, loadBefore, loadAverage(), runs);
        report("hash_files", set.bytes, a);
        report("b3sum (one process)", set.bytes, b);
        std::printf("  %-30s %8.2fx b3sum's speed\n", "ratio", b.seconds / a.seconds);
        std::fflush(stdout);
    }
    return 0;
}
