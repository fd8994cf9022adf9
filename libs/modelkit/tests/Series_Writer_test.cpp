// The streamed CSV series of the model programs: every row is in the file as soon as it is
// written, a file that existed survives a run that ends before its first row, a failed write
// leaves no torn line and says why in one line, and what the file was (its permission bits,
// a symbolic link to it) is kept.
#include <quarnel/modelkit/Series_Writer.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace quarnel::modelkit {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Write(const fs::path& file, const std::string& text) {
  std::ofstream(file) << text;
}

std::string Error_Of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

class Series_Writer_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("series_writer_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    file = dir / "series.csv";
  }
  void TearDown() override { fs::remove_all(dir); }
  // Everything in the folder but `file` (temporary files left behind).
  std::vector<std::string> Others() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.path() != file) names.push_back(entry.path().filename().string());
    return names;
  }
  fs::path dir, file;
};

TEST_F(Series_Writer_Test, Rows_Are_In_The_File_As_Soon_As_They_Are_Written) {
  Write(file, "old content\n");
  Series_Writer writer(file.string(), "step,value");
  EXPECT_EQ(Read(file), "old content\n") << "nothing replaced before the first row";
  writer.Row("0,10");
  EXPECT_EQ(Read(file), "step,value\n0,10\n");
  writer.Row("1,11");
  EXPECT_EQ(Read(file), "step,value\n0,10\n1,11\n");
  writer.Finish();
  EXPECT_EQ(Read(file), "step,value\n0,10\n1,11\n");
  EXPECT_EQ(writer.rows(), 2);
  EXPECT_TRUE(Others().empty());
}

TEST_F(Series_Writer_Test, An_Old_File_Survives_A_Run_That_Ends_Before_Its_First_Row) {
  Write(file, "old content\n");
  {
    Series_Writer failed_run(file.string(), "step,value");
    EXPECT_EQ(Others().size(), 1u) << "the temporary file beside it";
  }  // as when the run throws
  EXPECT_EQ(Read(file), "old content\n");
  EXPECT_TRUE(Others().empty());
  Series_Writer interrupted(file.string(), "step,value");
  interrupted.Finish();
  EXPECT_EQ(Read(file), "old content\n");
  EXPECT_TRUE(Others().empty());
  EXPECT_EQ(interrupted.Interruption_Note(), "; the CSV file '" + file.string() + "' was left as it was");
  // No file at all before: none after.
  { Series_Writer nothing((dir / "new.csv").string(), "h"); }
  EXPECT_FALSE(fs::exists(dir / "new.csv"));
}

TEST_F(Series_Writer_Test, Permission_Bits_And_A_Symbolic_Link_Are_Kept) {
  Write(file, "old\n");
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  const fs::path link = dir / "link.csv";
  fs::create_symlink(file, link);
  Series_Writer writer(link.string(), "h");
  writer.Row("1");
  writer.Finish();
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Read(file), "h\n1\n");
  struct stat status {};
  ASSERT_EQ(stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(Series_Writer_Test, A_Path_That_Cannot_Be_Written_Is_Refused_At_Once_In_One_Line) {
  EXPECT_EQ(Error_Of([&] { Series_Writer((dir / "no_such_folder" / "x.csv").string(), "h"); }),
            "cannot write the CSV file '" + (dir / "no_such_folder" / "x.csv").string() +
                "': No such file or directory");
  EXPECT_EQ(Error_Of([&] { Series_Writer(dir.string(), "h"); }),
            "cannot write the CSV file '" + dir.string() + "': Is a directory");
  // Control characters of the name are escaped: the message stays one line.
  const std::string odd = (dir / "a\nb" / "x.csv").string();
  const std::string message = Error_Of([&] { Series_Writer(odd, "h"); });
  EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  EXPECT_NE(message.find("a\\nb"), std::string::npos) << message;
}

TEST_F(Series_Writer_Test, A_Full_Device_Is_Reported_With_Its_Reason) {
  // /dev/full is no regular file: written as it is, and every write fails.
  EXPECT_EQ(Error_Of([] { Series_Writer("/dev/full", "step,value"); }),
            "writing the CSV file '/dev/full' failed: No space left on device");
}

// Past the file-size limit (ulimit -f) the write fails with EFBIG, SIGXFSZ being ignored as the
// programs ignore it: the file is cut back to its last whole row.
TEST_F(Series_Writer_Test, A_Write_Past_The_File_Size_Limit_Leaves_No_Torn_Line) {
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  {
    Series_Writer writer(file.string(), "step,sheep,wolves,grass");
    error = Error_Of([&] {
      for (int step = 0; step < 100; ++step) writer.Row(std::to_string(step) + ",1234,5678,9012");
    });
  }
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_NE(error.find("writing the CSV file '" + file.string() + "' failed after "), std::string::npos) << error;
  EXPECT_NE(error.find(": File too large"), std::string::npos) << error;
  const std::string text = Read(file);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << text;
  EXPECT_LE(text.size(), 100u);
  EXPECT_EQ(text.rfind("step,sheep,wolves,grass\n0,1234,5678,9012\n", 0), 0u) << text;
}

TEST_F(Series_Writer_Test, Without_A_Path_Nothing_Is_Written) {
  Series_Writer writer("", "h");
  EXPECT_FALSE(writer.active());
  writer.Row("1");
  writer.Finish();
  EXPECT_EQ(writer.Interruption_Note(), "");
  EXPECT_TRUE(Others().empty());
}

}  // namespace
}  // namespace quarnel::modelkit
