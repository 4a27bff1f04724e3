#pragma once
// The memory limit of the control group a process runs in. A batch system
// (Slurm, systemd) places a job in a group of its own below the root of the
// hierarchy, with cgroup v1 (memory.limit_in_bytes) or v2 (memory.max), and
// any group above it may hold a lower limit: every one of them bounds the
// process, so the least counts.

#include <cstddef>
#include <string_view>

namespace vantok::memory::detail {

/// The least memory limit of the process's group and the groups above it,
/// from the texts of /proc/self/cgroup and /proc/self/mountinfo, reading the
/// limit files where those texts place them; SIZE_MAX when none is set or
/// none can be read.
std::size_t cgroup_limit(std::string_view proc_cgroup, std::string_view mountinfo) noexcept;

}  // namespace vantok::memory::detail
