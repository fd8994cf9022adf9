#include <quarnel/modelkit/System_Limits.h>

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

namespace quarnel::modelkit {
namespace {

std::string Read_Text(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The number at the start of `text` (blanks skipped), or 0 when there is none.
uint64_t Leading_Number(const std::string& text) {
  size_t at = text.find_first_not_of(" \t\n");
  if (at == std::string::npos) return 0;
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  return error == std::errc() && end != text.data() + at ? value : 0;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

bool Contains_Word(const std::string& list, const std::string& word) {
  for (const std::string& w : Split(list, ',')) {
    if (w == word) return true;
  }
  return false;
}

void Take_Smaller(System_Limit& limit, uint64_t value, const std::string& name) {
  if (value == 0) return;
  if (limit.value == 0 || value < limit.value) limit = {value, name};
}

// The cgroup limit `file` of `controller` for this process, or 0.
uint64_t Own_Cgroup_Limit(const std::string& controller, const std::string& file) {
  std::filesystem::path mount;
  std::string path;
  if (!Find_Cgroup(Read_Text("/proc/self/cgroup"), Read_Text("/proc/self/mountinfo"), controller, mount,
                   path))
    return 0;
  return Cgroup_Chain_Limit(mount, path, file);
}

}  // namespace

uint64_t Cgroup_Chain_Limit(const std::filesystem::path& mount, const std::string& path,
                            const std::string& file) {
  auto tidy = [](std::filesystem::path p) {  // no "." or "..", no trailing separator
    p = p.lexically_normal();
    return p.has_relative_path() && p.filename().empty() ? p.parent_path() : p;
  };
  const std::filesystem::path top = tidy(mount);
  std::error_code error;
  std::filesystem::path folder = tidy(top / std::filesystem::path(path).relative_path());
  if (!std::filesystem::is_directory(folder, error) || folder.native().rfind(top.native(), 0) != 0)
    folder = top;
  uint64_t smallest = 0;
  while (true) {
    const std::string text = Read_Text(folder / file);
    const uint64_t value = Leading_Number(text);
    if (value != 0 && value < (uint64_t(1) << 62) && (smallest == 0 || value < smallest)) smallest = value;
    if (folder == top || !folder.has_relative_path()) break;
    folder = folder.parent_path();
  }
  return smallest;
}

bool Find_Cgroup(const std::string& proc_cgroup, const std::string& mountinfo, const std::string& controller,
                 std::filesystem::path& mount, std::string& path) {
  // "id:controllers:path": a v1 hierarchy names its controllers, the v2 one is "0::path".
  std::string v1_path, v2_path;
  bool v1 = false, v2 = false;
  for (const std::string& line : Split(proc_cgroup, '\n')) {
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    if (controllers.empty() && line.substr(0, first) == "0") {
      v2 = true;
      v2_path = line.substr(second + 1);
    } else if (Contains_Word(controllers, controller)) {
      v1 = true;
      v1_path = line.substr(second + 1);
    }
  }
  // mountinfo: "id parent major:minor root mount-point options... - fstype source super-options".
  for (const std::string& line : Split(mountinfo, '\n')) {
    const std::vector<std::string> fields = Split(line, ' ');
    size_t dash = 0;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 3 > fields.size()) continue;
    const std::string& root = fields[3];
    const std::string& type = fields[dash + 1];
    const std::string& options = fields[dash + 3];
    std::string own;
    if (v1 && type == "cgroup" && Contains_Word(options, controller)) {
      own = v1_path;
    } else if (!v1 && v2 && type == "cgroup2") {
      own = v2_path;
    } else {
      continue;
    }
    mount = fields[4];
    if (root != "/" && own.rfind(root, 0) == 0) own = own.substr(root.size());
    path = own.empty() ? "/" : own;
    return true;
  }
  return false;
}

System_Limit Memory_Limit() {
  System_Limit limit;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page > 0) Take_Smaller(limit, uint64_t(pages) * uint64_t(page), "physical memory");
  struct rlimit address_space {};
  if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
    Take_Smaller(limit, uint64_t(address_space.rlim_cur), "the address-space limit (ulimit -v)");
  }
  Take_Smaller(limit, Own_Cgroup_Limit("memory", "memory.max"), "the cgroup's memory.max");
  Take_Smaller(limit, Own_Cgroup_Limit("memory", "memory.limit_in_bytes"),
               "the cgroup's memory.limit_in_bytes");
  return limit;
}

System_Limit Thread_Limit() {
  System_Limit limit;
  Take_Smaller(limit, Leading_Number(Read_Text("/proc/sys/kernel/threads-max")),
               "the system's thread limit (kernel.threads-max)");
  Take_Smaller(limit, Leading_Number(Read_Text("/proc/sys/kernel/pid_max")),
               "the system's process-id limit (kernel.pid_max)");
  Take_Smaller(limit, Own_Cgroup_Limit("pids", "pids.max"), "the cgroup's pids.max");
  struct rlimit processes {};
  if (geteuid() != 0 && getrlimit(RLIMIT_NPROC, &processes) == 0 && processes.rlim_cur != RLIM_INFINITY) {
    Take_Smaller(limit, uint64_t(processes.rlim_cur), "the process limit (ulimit -u)");
  }
  return limit;
}

std::string Thread_Count_Problem(int64_t threads) {
  const System_Limit limit = Thread_Limit();
  if (limit.value == 0 || threads < 1 || uint64_t(threads) < limit.value) return "";
  return "option --threads: '" + std::to_string(threads) + "' is more than the " +
         std::to_string(limit.value - 1) + " worker threads that " + limit.name + " allows";
}

std::string Memory_Shortfall(uint64_t bytes, const std::string& what) {
  const System_Limit limit = Memory_Limit();
  if (limit.value == 0 || bytes <= limit.value) return "";
  return "about " + std::to_string(bytes >> 20) + " MiB for " + what + ", more than the " +
         std::to_string(limit.value >> 20) + " MiB of " + limit.name;
}

}  // namespace quarnel::modelkit
