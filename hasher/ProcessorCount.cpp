#include "hasher/ProcessorCount.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace hasher
{

namespace
{

std::string readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

// mountinfo writes space, tab, newline and backslash in paths as three octal digits after '\'.
std::string unescapeMountPath(const std::string& field)
{
    std::string path;
    for (std::string::size_type i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            const bool octal = std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; });
            if (octal) {
                path += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        path += field[i];
    }
    return path;
}

bool parseInt64(const std::string& text, long long& value)
{
    std::istringstream in(text);
    in >> value;
    return !in.fail();
}

// Whole processors needed to run quota microseconds per period without being throttled.
std::optional<int> processorsForQuota(long long quota, long long period)
{
    if (quota <= 0 || period <= 0)
        return std::nullopt;
    const long long processors = (quota + period - 1) / period;
    return static_cast<int>(std::clamp<long long>(processors, 1, 1 << 20));
}

// cgroup v2: "max 100000" means no limit, "150000 100000" one and a half processors.
std::optional<int> readCpuMax(const std::string& dir)
{
    std::istringstream in(readWholeFile(dir + "/cpu.max"));
    std::string quota;
    long long period = 0;
    if (!(in >> quota >> period) || quota == "max")
        return std::nullopt;
    long long quotaValue = 0;
    if (!parseInt64(quota, quotaValue))
        return std::nullopt;
    return processorsForQuota(quotaValue, period);
}

// cgroup v1: a quota of -1 means no limit.
std::optional<int> readCfsQuota(const std::string& dir)
{
    long long quota = 0;
    long long period = 0;
    if (!parseInt64(readWholeFile(dir + "/cpu.cfs_quota_us"), quota) ||
        !parseInt64(readWholeFile(dir + "/cpu.cfs_period_us"), period))
        return std::nullopt;
    return processorsForQuota(quota, period);
}

std::optional<int> smaller(std::optional<int> a, std::optional<int> b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

// The group's own limit and every ancestor's that the mount shows: a child group never gets
// more time than its parent allows.
std::optional<int> limitAlongPath(const std::string& mountRoot, const std::string& mountPoint,
                                  const std::string& groupPath, bool unified)
{
    std::string relative;
    if (mountRoot == "/") {
        relative = groupPath;
    } else if (groupPath == mountRoot) {
        relative = "/";
    } else if (groupPath.compare(0, mountRoot.size() + 1, mountRoot + "/") == 0) {
        relative = groupPath.substr(mountRoot.size());
    } else {
        // Our group is not visible through this mount, so its files say nothing about us.
        return std::nullopt;
    }
    while (relative.size() > 1 && relative.back() == '/')
        relative.pop_back();

    std::optional<int> limit;
    while (true) {
        const std::string dir = relative == "/" ? mountPoint : mountPoint + relative;
        limit = smaller(limit, unified ? readCpuMax(dir) : readCfsQuota(dir));
        if (relative == "/" || relative.empty())
            return limit;
        const auto slash = relative.rfind('/');
        relative = slash == 0 ? std::string("/") : relative.substr(0, slash);
    }
}

} // namespace

std::optional<int> cgroupCpuLimit(const std::string& mountInfo, const std::string& procSelfCgroup)
{
    std::optional<std::string> unifiedPath;
    std::optional<std::string> cpuControllerPath;
    for (const std::string& line : split(procSelfCgroup, '\n')) {
        // "hierarchy-id:controller-list:path"; the path itself may contain ':'.
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            unifiedPath = path;
            continue;
        }
        const auto names = split(controllers, ',');
        if (std::find(names.begin(), names.end(), "cpu") != names.end())
            cpuControllerPath = path;
    }

    std::optional<int> limit;
    for (const std::string& line : split(mountInfo, '\n')) {
        // "id parent major:minor root mount-point options [optional fields] - type source super-options"
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 2)
            continue;
        const std::string& type = *(dash + 1);
        const std::string root = unescapeMountPath(fields[3]);
        const std::string mountPoint = unescapeMountPath(fields[4]);
        if (type == "cgroup2" && unifiedPath) {
            limit = smaller(limit, limitAlongPath(root, mountPoint, *unifiedPath, true));
        } else if (type == "cgroup" && cpuControllerPath && fields.end() - dash >= 4) {
            const auto options = split(*(dash + 3), ',');
            if (std::find(options.begin(), options.end(), "cpu") != options.end())
                limit = smaller(limit, limitAlongPath(root, mountPoint, *cpuControllerPath, false));
        }
    }
    return limit;
}

int availableProcessorCount()
{
    int count = 0;
    // The mask may name more processors than a default cpu_set_t holds on very large machines.
    for (int setSize = CPU_SETSIZE; setSize <= (1 << 20) && count == 0; setSize *= 2) {
        cpu_set_t* set = CPU_ALLOC(setSize);
        if (!set)
            break;
        const size_t bytes = CPU_ALLOC_SIZE(setSize);
        if (sched_getaffinity(0, bytes, set) == 0) {
            count = CPU_COUNT_S(bytes, set);
            CPU_FREE(set);
            break;
        }
        const bool tooSmall = errno == EINVAL;
        CPU_FREE(set);
        if (!tooSmall)
            break;
    }
    if (count <= 0)
        count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    const auto quota = cgroupCpuLimit(readWholeFile("/proc/self/mountinfo"), readWholeFile("/proc/self/cgroup"));
    if (quota && *quota < count)
        count = *quota;
    return std::max(1, count);
}

} // namespace hasher
