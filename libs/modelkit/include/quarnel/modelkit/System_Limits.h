// What the system lets one process have, for checking a program's options before a run
// allocates anything: memory and threads, each as the smallest of the limits that apply,
// with the limit's name for the error line.
//
//   memory:  physical memory; the address-space limit (ulimit -v, RLIMIT_AS); the memory
//            limit of the process's cgroup and of every cgroup above it (cgroup v2
//            memory.max, v1 memory.limit_in_bytes).
//   threads: the system's thread limit (kernel.threads-max) and process-id limit
//            (kernel.pid_max: every thread takes an id); the pids.max of the process's cgroup
//            and those above it; the per-user process limit (ulimit -u, RLIMIT_NPROC), which
//            the kernel does not apply to root.
// A limit that cannot be read does not count; with none readable the result is 0, "unknown".
//
// Thread safety: any thread; each call reads the files anew.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace quarnel::modelkit {

struct System_Limit {
  uint64_t value = 0;  // bytes or threads; 0: no limit known
  std::string name;    // e.g. "physical memory", "the address-space limit (ulimit -v)"
};

System_Limit Memory_Limit();
System_Limit Thread_Limit();

// "" when `threads` workers and the controlling thread fit in Thread_Limit(); otherwise the
// one line "option --threads: '<threads>' is more than the <n> worker threads that <limit>
// allows".
std::string Thread_Count_Problem(int64_t threads);
// "" when `bytes` fit in Memory_Limit(); otherwise "about <n> MiB for <what>, more than the
// <m> MiB of <limit>", for a line that names the option that needs them.
std::string Memory_Shortfall(uint64_t bytes, const std::string& what);

// The smallest value of `file` in the cgroup folder `mount`/`path` and in each folder above it
// up to `mount`: a value "max", one of 2^62 or more (cgroup v1's "no limit") and a file that
// is missing or unreadable do not count; 0 when none does. When `mount`/`path` does not exist
// (a cgroup namespace shows the process's cgroup as the mount's root), `mount` alone is read.
uint64_t Cgroup_Chain_Limit(const std::filesystem::path& mount, const std::string& path,
                            const std::string& file);

// Where the process's cgroup of `controller` ("memory", "pids") is: its mount point and its
// path below that mount, from the texts of /proc/self/cgroup and /proc/self/mountinfo
// (cgroup v2 when the controller has no v1 hierarchy). False when there is none.
bool Find_Cgroup(const std::string& proc_cgroup, const std::string& mountinfo, const std::string& controller,
                 std::filesystem::path& mount, std::string& path);

}  // namespace quarnel::modelkit
