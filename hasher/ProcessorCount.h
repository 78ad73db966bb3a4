#pragma once

// How many threads the hasher's pool may run: the processors in this process's affinity mask,
// reduced by a control-group CPU quota when one applies. A container limited to two CPUs' worth
// of time on a 64-core host should not start 64 workers that then get throttled.

#include <optional>
#include <string>

namespace hasher
{

int availableProcessorCount();

// The CPU quota, rounded up to whole processors, that applies to the process described by
// procSelfCgroup (the text of /proc/self/cgroup), looking at every cgroup v2 mount and every v1
// mount with the "cpu" controller listed in mountInfo (the text of /proc/self/mountinfo).
// Limits of ancestor groups count too. No quota anywhere gives no value.
std::optional<int> cgroupCpuLimit(const std::string& mountInfo, const std::string& procSelfCgroup);

} // namespace hasher
