// The example models' command line: every bad input is one line naming the option and the
// value; good input is read whatever the order.
#include <quarnel/modelkit/Model_Checkpoints.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Program_Outcome.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace quarnel::modelkit {
namespace {

std::string Error_Of(const std::vector<std::string>& args) {
  try {
    Read_Model_Options(args);
  } catch (const Model_Option_Error& e) {
    return e.what();
  }
  return "";
}

TEST(Model_Command_Line_Test, Reads_Every_Option_In_Any_Order_And_Keeps_Defaults) {
  const Model_Options defaults = Read_Model_Options({});
  EXPECT_EQ(defaults.size, Model_Size::small);
  EXPECT_EQ(defaults.threads, 1);
  EXPECT_EQ(defaults.steps, 0);
  const Model_Options o =
      Read_Model_Options({"--csv", "out.csv", "--seed", "18446744073709551615", "--size", "huge", "--threads",
                          "6", "--steps", "20", "--block_size", "7"});
  EXPECT_EQ(o.size, Model_Size::huge);
  EXPECT_EQ(o.threads, 6);
  EXPECT_EQ(o.seed, 18446744073709551615ull);
  EXPECT_EQ(o.steps, 20);
  EXPECT_EQ(o.block_size, 7);
  EXPECT_EQ(o.csv, "out.csv");
}

TEST(Model_Command_Line_Test, Bad_Input_Gets_One_Line_Naming_Option_And_Value) {
  EXPECT_EQ(Error_Of({"--size", "medium"}), "option --size: 'medium' is not one of small, large, huge");
  EXPECT_EQ(Error_Of({"--threads", "0"}), "option --threads: '0' is below 1");
  EXPECT_EQ(Error_Of({"--threads", "-2"}),
            "option --threads: '-2' is not a whole number between 0 and 2147483647");
  EXPECT_EQ(Error_Of({"--threads", "2x"}),
            "option --threads: '2x' is not a whole number between 0 and 2147483647");
  EXPECT_EQ(Error_Of({"--steps", "99999999999"}),
            "option --steps: '99999999999' is not a whole number between 0 and 2147483647");
  EXPECT_EQ(Error_Of({"--seed", "18446744073709551616"}),
            "option --seed: '18446744073709551616' is not a whole number between 0 and 18446744073709551615");
  EXPECT_EQ(Error_Of({"--block_size", "0"}), "option --block_size: '0' is below 1");
  EXPECT_EQ(Error_Of({"--csv", ""}), "option --csv: the file name is empty");
  EXPECT_EQ(Error_Of({"--threads"}), "option --threads needs a value");
  EXPECT_EQ(Error_Of({"--threads", "2", "--threads", "3"}), "option --threads is given twice");
  EXPECT_EQ(Error_Of({"--fast"}), "unrecognised argument '--fast'");
  EXPECT_EQ(Error_Of({"small"}), "unrecognised argument 'small'");
  // Outside text is escaped: a value with a line break stays on the error's one line.
  EXPECT_EQ(Error_Of({"--size", "tiny\nschelling: 20 steps of small"}),
            "option --size: 'tiny\\nschelling: 20 steps of small' is not one of small, large, huge");
  EXPECT_EQ(Error_Of({"--threads", "2\r"}),
            "option --threads: '2\\r' is not a whole number between 0 and 2147483647");
  EXPECT_EQ(Error_Of({"--fast\x1b[2J"}), "unrecognised argument '--fast\\x1b[2J'");
}

}  // namespace
}  // namespace quarnel::modelkit

namespace quarnel::modelkit {
namespace {

TEST(Model_Command_Line_Test, Reads_The_Recording_And_Parameter_Options) {
  const Model_Options o =
      Read_Model_Options({"--set", "a=1", "--sqlite", "runs.db", "--params", "--overwrite", "--set", "b=2",
                          "--record_every", "5", "--csv", "x.csv"});
  EXPECT_EQ(o.sets, (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(o.sqlite, "runs.db");
  EXPECT_TRUE(o.params);
  EXPECT_TRUE(o.overwrite);
  EXPECT_EQ(o.record_every, 5);
  const Record_Options r = Recording_Of(o);
  EXPECT_EQ(r.csv, "x.csv");
  EXPECT_EQ(r.sqlite, "runs.db");
  EXPECT_TRUE(r.overwrite);
  EXPECT_EQ(r.every, 5u);
  const Model_Options d = Read_Model_Options({});
  EXPECT_FALSE(d.params || d.overwrite);
  EXPECT_EQ(d.record_every, 1);
  EXPECT_EQ(Error_Of({"--sqlite", ""}), "option --sqlite: the file name is empty");
  EXPECT_EQ(Error_Of({"--overwrite", "--overwrite"}), "option --overwrite is given twice");
  EXPECT_EQ(Error_Of({"--set"}), "option --set needs a value");
}

// Two outputs of one run in one file are refused, whether the names are equal, differ only in
// spelling, or reach the file through a symbolic or hard link; resuming from the file that
// the run checkpoints to is the usual way to go on.
TEST(Model_Command_Line_Test, Two_Outputs_In_One_File_Are_Refused) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quarnel_shared_files_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string x = (dir / "x").string();
  EXPECT_EQ(Error_Of({"--csv", x, "--checkpoint", x}),
            "options --csv and --checkpoint name the same file " + x);
  EXPECT_EQ(Error_Of({"--sqlite", x, "--csv", x}), "options --csv and --sqlite name the same file " + x);
  EXPECT_EQ(Error_Of({"--sqlite", x, "--checkpoint", x}),
            "options --sqlite and --checkpoint name the same file " + x);
  EXPECT_EQ(Error_Of({"--csv", x, "--resume", x}), "options --csv and --resume name the same file " + x);
  const std::string spelled = (dir / "." / "x").string();
  EXPECT_EQ(Error_Of({"--csv", x, "--sqlite", spelled}),
            "options --csv " + x + " and --sqlite " + spelled + " name the same file");
  std::ofstream(x) << "step\n";
  fs::create_symlink(x, dir / "soft");
  fs::create_hard_link(x, dir / "hard");
  for (const char* other : {"soft", "hard"}) {
    const std::string name = (dir / other).string();
    EXPECT_EQ(Error_Of({"--csv", x, "--checkpoint", name}),
              "options --csv " + x + " and --checkpoint " + name + " name the same file");
  }
  EXPECT_EQ(Error_Of({"--checkpoint", x, "--resume", x}), "");
  EXPECT_EQ(Error_Of({"--csv", x, "--sqlite", (dir / "y").string()}), "");
  fs::remove_all(dir);
}

// A model without declared parameters refuses what it could not honour, in one line.
TEST(Model_Command_Line_Test, A_Model_Without_Parameters_Refuses_The_New_Options) {
  for (const std::string option : {"--params", "--overwrite"}) {
    std::vector<std::string> words = {"model", option};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    testing::internal::CaptureStderr();
    const int status =
        Run_Model_Program(int(argv.size()), argv.data(), "model", "", [](const Model_Options&) {
          ADD_FAILURE() << "the run was called";
          return 0;
        });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "model: option " + option + " is not supported by this model (see --help)\n");
  }
}

struct Steps_Only {
  int steps = 3;
};

// A declared model's run that neither records nor makes a Model_Checkpoints has ignored
// --checkpoint and --resume: the program ends with status 1 and one line, not a success. One
// that makes a Model_Checkpoints has honoured them.
TEST(Model_Command_Line_Test, A_Run_That_Made_No_Checkpoints_Does_Not_Report_Success) {
  Model_Parameters<Steps_Only> declared;
  declared.Integer("steps", &Steps_Only::steps, 3, 1, 100, "steps to run");
  const std::string file = (std::filesystem::temp_directory_path() /
                            ("model_command_line_" + std::to_string(::getpid()) + ".ckpt"))
                               .string();
  // A checkpoint of this model, which the program reads before the run.
  const std::string saved = file + ".saved";
  Write_Other_Models_Checkpoint(saved, "model");
  auto run_with = [&](const std::string& option, bool make_checkpoints) {
    std::vector<std::string> words = {"model", option, option == "--resume" ? saved : file};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    bool ran = false;
    testing::internal::CaptureStderr();
    const int status = Run_Model_Program<Steps_Only>(int(argv.size()), argv.data(), "model", "", declared,
                                                     [&](const Model_Options& o, const Steps_Only& p) {
                                                       ran = true;
                                                       if (make_checkpoints)
                                                         Model_Checkpoints checkpoints(o, "model", declared,
                                                                                       p, uint32_t(p.steps));
                                                       return 0;
                                                     });
    EXPECT_TRUE(ran) << option;
    return std::make_pair(status, testing::internal::GetCapturedStderr());
  };
  for (const std::string option : {"--checkpoint", "--resume"}) {
    EXPECT_EQ(run_with(option, false),
              std::make_pair(1, "model: option " + option + " is not supported by this model\n"));
  }
  EXPECT_EQ(run_with("--checkpoint", true), std::make_pair(0, std::string()));
  std::filesystem::remove(file);
  std::filesystem::remove(saved);
}

}  // namespace
}  // namespace quarnel::modelkit
