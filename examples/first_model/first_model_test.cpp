// The template run as a user runs it: a run saved in a checkpoint continues exactly, and a
// checkpoint it cannot continue is refused before the records are touched.
#include <gtest/gtest.h>

#include <quarnel/modelkit/Program_Outcome.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

std::string Temp_File(const std::string& name) {
  return testing::TempDir() + "first_model_" + std::to_string(getpid()) + "_" + name;
}

// Saved at the last step of a finished run, continued to twice its steps on other workers:
// the same rows, series, runs row and total as a run that never stopped.
TEST(First_Model_Checkpoint_Test, Saved_At_The_Last_Step_A_Longer_Run_Continues_Identically) {
  const quarnel::modelkit::Longer_Resume r = quarnel::modelkit::Resume_Longer(
      FIRST_MODEL_PROGRAM, "--set people=50", 5, 1, 3,
      "SELECT step, calls, total_calls FROM series ORDER BY step", Temp_File("longer."));
  ASSERT_EQ(r.problem, "");
  EXPECT_EQ(r.resumed.out, "agent calls: 500\n");
  EXPECT_EQ(r.whole.out, r.resumed.out);
}

TEST(First_Model_Checkpoint_Test, A_Checkpoint_That_Cannot_Be_Continued_Is_Refused_In_One_Line) {
  const std::string csv = Temp_File("refused.csv"), good = Temp_File("good.ckpt");
  std::filesystem::remove(csv);
  const quarnel::modelkit::Program_Outcome missing =
      quarnel::modelkit::Run_Program(FIRST_MODEL_PROGRAM, "--resume /nonexistent/fm.ckpt --csv " + csv);
  EXPECT_EQ(quarnel::modelkit::Refusal_Problem(missing, "cannot read the checkpoint /nonexistent/fm.ckpt"),
            "");
  ASSERT_EQ(
      quarnel::modelkit::Run_Program(FIRST_MODEL_PROGRAM, "--checkpoint " + good + " --checkpoint-every 4")
          .status,
      0);
  const quarnel::modelkit::Program_Outcome other = quarnel::modelkit::Run_Program(
      FIRST_MODEL_PROGRAM, "--resume " + good + " --set people=7 --csv " + csv);
  EXPECT_EQ(quarnel::modelkit::Refusal_Problem(other, "has people=100, not 7"), "");
  EXPECT_FALSE(std::filesystem::exists(csv));
  std::filesystem::remove(good);
}

}  // namespace
