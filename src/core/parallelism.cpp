// Reading how many threads the process may usefully run.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "search.hpp"

namespace quillmere {
namespace detail {

namespace {

std::size_t affinity_count() {
    // The affinity mask may be wider than the static cpu_set_t on very large
    // machines; grow it until the kernel accepts it.
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const std::size_t count = rc == 0 ? static_cast<std::size_t>(CPU_COUNT_S(bytes, set)) : 0;
        CPU_FREE(set);
        if (rc == 0) return count;
        if (errno != EINVAL) return 0;
    }
    return 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::size_t> min_limit(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// cgroup v2: the tightest cpu.max from the process's group up to the root.
std::optional<std::size_t> cgroup_v2_limit(std::string group) {
    std::optional<std::size_t> limit;
    while (true) {
        const std::string dir = "/sys/fs/cgroup" + (group == "/" ? std::string() : group);
        limit = min_limit(limit, parse_cpu_max(read_file(dir + "/cpu.max")));
        if (group.empty() || group == "/") break;
        const auto slash = group.find_last_of('/');
        group = slash == 0 ? "/" : group.substr(0, slash);
    }
    return limit;
}

long long read_number(const std::string& path) {
    std::istringstream in(read_file(path));
    long long value = 0;
    if (!(in >> value)) return 0;
    return value;
}

// cgroup v1: the cpu controller's mount point comes from mountinfo.
std::optional<std::size_t> cgroup_v1_limit(const std::string& group) {
    std::istringstream mounts(read_file("/proc/self/mountinfo"));
    std::string line;
    while (std::getline(mounts, line)) {
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string fstype, source, options;
        tail >> fstype >> source >> options;
        if (fstype != "cgroup") continue;
        std::istringstream opts(options);
        std::string opt;
        bool has_cpu = false;
        while (std::getline(opts, opt, ',')) has_cpu |= opt == "cpu";
        if (!has_cpu) continue;
        std::istringstream head(line.substr(0, dash));
        std::string id, parent, devno, root, mount_point;
        head >> id >> parent >> devno >> root >> mount_point;
        std::string relative = group;
        if (root != "/" && relative.compare(0, root.size(), root) == 0) relative = relative.substr(root.size());
        const std::string dir = mount_point + (relative == "/" ? std::string() : relative);
        return quota_limit(read_number(dir + "/cpu.cfs_quota_us"), read_number(dir + "/cpu.cfs_period_us"));
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_limit() {
    std::istringstream groups(read_file("/proc/self/cgroup"));
    std::string line;
    std::optional<std::size_t> limit;
    while (std::getline(groups, line)) {
        // hierarchy-id:controllers:path
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            limit = min_limit(limit, cgroup_v2_limit(path));
        } else {
            std::istringstream names(controllers);
            std::string name;
            bool has_cpu = false;
            while (std::getline(names, name, ',')) has_cpu |= name == "cpu";
            if (has_cpu) limit = min_limit(limit, cgroup_v1_limit(path));
        }
    }
    return limit;
}

}  // namespace

std::optional<std::size_t> quota_limit(long long quota, long long period) noexcept {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<std::size_t>(std::max<long long>(1, quota / period));
}

std::optional<std::size_t> parse_cpu_max(const std::string& text) {
    std::istringstream in(text);
    std::string quota;
    long long period = 0;
    if (!(in >> quota >> period) || quota == "max") return std::nullopt;
    try {
        std::size_t used = 0;
        const long long value = std::stoll(quota, &used);
        if (used != quota.size()) return std::nullopt;
        return quota_limit(value, period);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::size_t combine_parallelism(const ParallelismSources& sources) noexcept {
    std::size_t count = sources.affinity;
    if (count == 0 && sources.online > 0) count = static_cast<std::size_t>(sources.online);
    if (count == 0) return 4;
    if (sources.quota) count = std::min(count, std::max<std::size_t>(1, *sources.quota));
    return count;
}

ParallelismSources read_parallelism_sources() {
    // The affinity set is one cheap system call and may change at any time,
    // so it is read on every call. The control-group quota takes a walk over
    // several files; it is read once per process.
    static const std::optional<std::size_t> quota = cgroup_limit();
    return {affinity_count(), sysconf(_SC_NPROCESSORS_ONLN), quota};
}

}  // namespace detail

std::size_t available_parallelism() {
    try {
        return detail::combine_parallelism(detail::read_parallelism_sources());
    } catch (const std::exception&) {
        return detail::combine_parallelism({0, sysconf(_SC_NPROCESSORS_ONLN), std::nullopt});
    }
}

}  // namespace quillmere
