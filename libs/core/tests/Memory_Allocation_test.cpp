#include <quarnel/Memory_Allocation.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <quarnel/Component_Manager.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

namespace fs = std::filesystem;

const std::string kObjectHeader = "Typeid,Typename,Iteration,KBytes\n";
const std::string kBlockHeader = "Typename,iteration,blk_size,num_cells,cell_size\n";

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void Write(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

class Memory_Report_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    _folder = fs::temp_directory_path() / ("quarnel_memory_test_" + std::to_string(getpid()));
    fs::create_directories(_folder);
    if (__component_names == nullptr)
      __component_names = new std::unordered_map<unsigned long, std::string>();
    (*__component_names)[1] = "Agent";
  }
  void TearDown() override {
    fs::remove_all(_folder);
    _type_counter = matrix<long long>();
    _block_history.clear();
    _object_output_file.clear();
    _block_output_file.clear();
  }
  fs::path Objects() const { return _folder / "object_allocations.csv"; }
  fs::path Blocks() const { return _folder / "block_allocations.csv"; }

  fs::path _folder;
};

TEST_F(Memory_Report_Test, Headers_Replace_Whatever_The_Reports_Held) {
  Write(Objects(), "old object rows\n1,2,3\n");
  Write(Blocks(), "old block rows\n");
  WriteMemoryFileHeaders(_folder);
  EXPECT_EQ(_object_output_file, Objects());
  EXPECT_EQ(_block_output_file, Blocks());
  EXPECT_EQ(Read(Objects()), kObjectHeader);
  EXPECT_EQ(Read(Blocks()), kBlockHeader);
}

TEST_F(Memory_Report_Test, Empty_Tables_Add_No_Rows) {
  WriteMemoryFileHeaders(_folder);
  WriteMemoryFootprint(3);
  WriteBlockAllocationHistory();
  EXPECT_EQ(Read(Objects()), kObjectHeader);
  EXPECT_EQ(Read(Blocks()), kBlockHeader);
  fs::remove(Objects());
  WriteMemoryFootprint(4);
  EXPECT_TRUE(fs::exists(Objects())) << "an absent object report is created";
  EXPECT_EQ(Read(Objects()), "");
}

TEST_F(Memory_Report_Test, Footprint_Rows_Sum_Kilobytes_Per_Type_And_Follow_Each_Other) {
  _type_counter.resize(4, 2);
  _type_counter(0, 0) = 1024;
  _type_counter(0, 1) = 2048;
  _type_counter(1, 0) = 48;
  _type_counter(3, 1) = 1200000000;
  WriteMemoryFileHeaders(_folder);
  WriteMemoryFootprint(1);
  _type_counter(1, 1) = 1024 - 48;
  WriteMemoryFootprint(2);
  EXPECT_EQ(Read(Objects()), kObjectHeader +
                                 "0,\"\",1,3\n"
                                 "1,\"Agent\",1,0.046875\n"
                                 "2,\"\",1,0\n"
                                 "3,\"\",1,1.17188e+06\n"
                                 "0,\"\",2,3\n"
                                 "1,\"Agent\",2,1\n"
                                 "2,\"\",2,0\n"
                                 "3,\"\",2,1.17188e+06\n");
  EXPECT_EQ(__component_names->count(0), 0u) << "reporting an unnamed type leaves the registry unchanged";
}

TEST_F(Memory_Report_Test, Zero_Columns_Give_Zero_Kilobytes) {
  _type_counter.resize(2, 0);
  WriteMemoryFileHeaders(_folder);
  WriteMemoryFootprint(9);
  EXPECT_EQ(Read(Objects()), kObjectHeader + "0,\"\",9,0\n1,\"Agent\",9,0\n");
}

TEST_F(Memory_Report_Test, History_Is_Rewritten_Whole_With_One_Header) {
  WriteMemoryFileHeaders(_folder);
  _block_history.emplace_back(1, 5, 4096, 63, 64);
  WriteBlockAllocationHistory();
  EXPECT_EQ(Read(Blocks()), kBlockHeader + "\"Agent\",5,4096,63,64\n");
  _block_history.emplace_back(7, 6, 8192, 127, 64);
  WriteBlockAllocationHistory();
  EXPECT_EQ(Read(Blocks()), kBlockHeader + "\"Agent\",5,4096,63,64\n\"\",6,8192,127,64\n");
}

TEST_F(Memory_Report_Test, Writers_Before_Headers_Or_Without_Registry_Do_Not_Fail) {
  _type_counter.resize(2, 1);
  _block_history.emplace_back(1, 5, 4096, 63, 64);
  EXPECT_NO_THROW(WriteMemoryFootprint(1));
  EXPECT_NO_THROW(WriteBlockAllocationHistory());

  auto* names = __component_names;
  __component_names = nullptr;
  WriteMemoryFileHeaders(_folder);
  WriteMemoryFootprint(1);
  WriteBlockAllocationHistory();
  __component_names = names;
  EXPECT_EQ(Read(Objects()), kObjectHeader + "0,\"\",1,0\n1,\"\",1,0\n");
  EXPECT_EQ(Read(Blocks()), kBlockHeader + "\"\",5,4096,63,64\n");
}

// A report that cannot be written is a fatal error naming the writer, the file and the
// system's reason, never a silent loss: a missing folder, a full device (the writes of every
// writer fail there, while the open succeeds).
TEST_F(Memory_Report_Test, Write_Failures_Are_Fatal_Errors_That_Say_Why) {
  const std::string prefix = "An exception occurred, check your logs: ";
  ::testing::internal::CaptureStderr();
  const fs::path missing = _folder / "missing";
  EXPECT_EQ(testing::Thrown_Text([&] { WriteMemoryFileHeaders(missing); }),
            prefix + "WriteMemoryFileHeaders: could not open the memory report " +
                (missing / "object_allocations.csv").string() + ": No such file or directory");
  EXPECT_FALSE(fs::exists(missing)) << "the folder is not created";

  fs::create_symlink("/dev/full", _folder / "object_allocations.csv");
  EXPECT_EQ(testing::Thrown_Text([&] { WriteMemoryFileHeaders(_folder); }),
            prefix + "WriteMemoryFileHeaders: could not write the memory report " + Objects().string() +
                ": No space left on device");
  fs::remove(Objects());
  WriteMemoryFileHeaders(_folder);
  fs::remove(Objects());
  fs::remove(Blocks());
  fs::create_symlink("/dev/full", Objects());
  fs::create_symlink("/dev/full", Blocks());
  _type_counter.resize(2, 1);
  _block_history.emplace_back(1, 5, 4096, 63, 64);
  EXPECT_EQ(testing::Thrown_Text([] { WriteMemoryFootprint(2); }),
            prefix + "WriteMemoryFootprint: could not write the memory report " + Objects().string() +
                ": No space left on device");
  EXPECT_EQ(testing::Thrown_Text([] { WriteBlockAllocationHistory(); }),
            prefix + "WriteBlockAllocationHistory: could not write the memory report " + Blocks().string() +
                ": No space left on device");
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("RUNTIME_ERROR at libs/core/Memory_Allocation.cpp:"), std::string::npos) << log;
}

TEST(Matrix_Test, Storage_Is_Row_Major_And_Survives_Resize_And_Copy) {
  matrix<long long> m(2, 3);
  EXPECT_EQ(m._size, 6u);
  for (uint64_t i = 0; i < 2; ++i)
    for (uint64_t j = 0; j < 3; ++j) m(i, j) = static_cast<long long>(10 * i + j);
  EXPECT_EQ(m._data[1 * 3 + 2], 12);
  m.resize(3, 2);
  EXPECT_EQ(m(1, 1), 11);
  EXPECT_EQ(m(2, 1), 0);
  matrix<long long> copy = m;
  copy(0, 0) = 99;
  EXPECT_EQ(m(0, 0), 0);
  matrix<long long> moved = std::move(copy);
  EXPECT_EQ(moved(0, 0), 99);
  EXPECT_EQ(copy._data, nullptr);
  m.resize(0, 5);
  EXPECT_EQ(m._data, nullptr);
}

TEST(Matrix_Test, Out_Of_Bounds_Access_Reports_And_Throws_By_Pointer) {
  matrix<long long> m(2, 3);
  for (auto [i, j] : {std::pair<uint64_t, uint64_t>{2, 0}, {0, 3}}) {
    ::testing::internal::CaptureStderr();
    std::runtime_error* error = nullptr;
    try {
      m(i, j);
    } catch (std::runtime_error* e) {
      error = e;
    }
    std::string printed = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(error, nullptr);
    std::string expected_tail = "\n\tError, index (" + std::to_string(i) + "," + std::to_string(j) +
                                ") was outside of matrix bounds {2,3}\n\n";
    const std::string head = "\nRUNTIME_ERROR: libs/core/m_array.h at ";
    ASSERT_EQ(printed.rfind(head, 0), 0u) << printed;
    ASSERT_GT(printed.size(), head.size() + expected_tail.size()) << printed;
    std::string line = printed.substr(head.size(), printed.size() - head.size() - expected_tail.size());
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), ::isdigit)) << "source line, got '" << line << "'";
    EXPECT_EQ(printed.substr(printed.size() - expected_tail.size()), expected_tail);
    EXPECT_EQ(std::string(error->what()), printed);
    delete error;
  }
}

}  // namespace
}  // namespace quarnel
