// The memory the machine can still give this process.
#ifndef GORVA_IO_SYSTEM_MEMORY_H
#define GORVA_IO_SYSTEM_MEMORY_H

#include <cstdint>
#include <string>

// Bytes the run may still allocate. GORVA_TEST_MEMORY_LIMIT, a decimal byte
// count, replaces the machine's figure; it exists only so that tests can
// drive the refusal without a machine that is really short of memory, and
// is no setting for users. Otherwise the smallest of: MemAvailable of
// /proc/meminfo (or the free pages that sysconf reports where that file
// cannot be read); the room left in the process's memory cgroup and in
// every cgroup above it; RLIMIT_AS minus the address space the process
// maps; RLIMIT_DATA minus its data segments.
std::uint64_t availableMemoryBytes();

// The room left under the memory limits of the cgroups that `proc_cgroup`
// (the text of /proc/self/cgroup) names, found under `cgroup_root`
// (/sys/fs/cgroup): v2 memory.max - memory.current, v1
// memory.limit_in_bytes - memory.usage_in_bytes, each level up to the root,
// the page cache that can be dropped (inactive files) not counted as used.
// UINT64_MAX when no limit applies.
std::uint64_t cgroupHeadroomBytes(const std::string& proc_cgroup, const std::string& cgroup_root);

#endif  // GORVA_IO_SYSTEM_MEMORY_H
