// The limits a program checks its options against: the cgroup files are found from
// /proc/self/cgroup and /proc/self/mountinfo (v1 and v2), the smallest limit of the process's
// cgroup and those above it counts, "max" and v1's "no limit" do not; and the limits of this
// process are read (physical memory at least, ulimit -v when set).
#include <quarnel/modelkit/System_Limits.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace quarnel::modelkit {
namespace {

namespace fs = std::filesystem;

class Cgroup_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("cgroup_" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "a" / "b");
  }
  void TearDown() override { fs::remove_all(root); }
  void Put(const fs::path& file, const std::string& text) { std::ofstream(root / file) << text; }
  fs::path root;
};

TEST_F(Cgroup_Test, The_Smallest_Limit_Of_The_Chain_Counts_And_Max_Does_Not) {
  Put("a/b/memory.max", "max\n");
  Put("a/memory.max", "2147483648\n");
  Put("memory.max", "4294967296\n");
  EXPECT_EQ(Cgroup_Chain_Limit(root, "/a/b", "memory.max"), 2147483648u);
  Put("a/b/memory.max", "1073741824\n");
  EXPECT_EQ(Cgroup_Chain_Limit(root, "/a/b", "memory.max"), 1073741824u);
  // cgroup v1's "no limit" and missing files do not count.
  Put("a/b/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(Cgroup_Chain_Limit(root, "/a/b", "memory.limit_in_bytes"), 0u);
  EXPECT_EQ(Cgroup_Chain_Limit(root, "/a/b", "pids.max"), 0u);
  // A path that is not below the mount (a cgroup namespace): the mount's own folder.
  EXPECT_EQ(Cgroup_Chain_Limit(root, "/elsewhere/x", "memory.max"), 4294967296u);
}

TEST(Find_Cgroup_Test, Finds_The_V1_Hierarchy_Of_The_Controller_Else_The_V2_One) {
  const std::string proc_cgroup =
      "8:pids:/\n4:memory:/process_api/abc\n1:cpu,cpuacct:/\n0::/user.slice/session-1.scope\n";
  const std::string mountinfo =
      "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
      "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
      "39 31 0:36 / /sys/fs/cgroup/pids rw,relatime - cgroup cgroup rw,pids\n"
      "41 31 0:37 / /sys/fs/cgroup/unified rw,relatime shared:9 - cgroup2 cgroup2 rw\n";
  fs::path mount;
  std::string path;
  ASSERT_TRUE(Find_Cgroup(proc_cgroup, mountinfo, "memory", mount, path));
  EXPECT_EQ(mount, "/sys/fs/cgroup/memory");
  EXPECT_EQ(path, "/process_api/abc");
  // Only v2: the unified hierarchy.
  ASSERT_TRUE(Find_Cgroup("0::/user.slice/x\n", "41 31 0:37 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", "memory",
                          mount, path));
  EXPECT_EQ(mount, "/sys/fs/cgroup");
  EXPECT_EQ(path, "/user.slice/x");
  // A mount whose root is the process's own cgroup (a container): the path below it is "/".
  ASSERT_TRUE(Find_Cgroup("0::/docker/42\n", "41 31 0:37 /docker/42 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
                          "pids", mount, path));
  EXPECT_EQ(path, "/");
  EXPECT_FALSE(Find_Cgroup("", "", "memory", mount, path));
}

TEST(System_Limits_Test, This_Process_Has_Memory_And_Thread_Limits) {
  const System_Limit memory = Memory_Limit();
  EXPECT_GT(memory.value, 0u);
  EXPECT_FALSE(memory.name.empty());
  const System_Limit threads = Thread_Limit();
  EXPECT_GT(threads.value, 1u);
  EXPECT_EQ(Thread_Count_Problem(1), "");
  EXPECT_EQ(Memory_Shortfall(1, "x"), "");
  // No system lets a process have 2^31 - 1 threads (pid_max is at most 2^22).
  EXPECT_EQ(Thread_Count_Problem(2147483647).rfind("option --threads: '2147483647' is more than the ", 0), 0u);
  EXPECT_EQ(Memory_Shortfall(uint64_t(1) << 62, "the agents").rfind("about 4398046511104 MiB for the agents, more than the ", 0),
            0u);
}

}  // namespace
}  // namespace quarnel::modelkit
