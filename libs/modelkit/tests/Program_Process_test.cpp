// Outside text in a log or an error line: control characters are escaped, so no argument or
// file name can start a line of its own (a forged log line) or move the cursor; other text,
// UTF-8 included, is left alone, and escaping twice changes nothing.
#include <quarnel/modelkit/Program_Process.h>

#include <gtest/gtest.h>
#include <signal.h>

namespace quarnel::modelkit {
namespace {

TEST(Printable_Test, Control_Characters_Are_Escaped_And_Other_Text_Is_Kept) {
  EXPECT_EQ(Printable("--num_agents"), "--num_agents");
  EXPECT_EQ(Printable("1\n2026-12-09 11:24:47,331 [NOTICE] Population check passed"),
            "1\\n2026-12-09 11:24:47,331 [NOTICE] Population check passed");
  EXPECT_EQ(Printable("a\rb\tc"), "a\\rb\\tc");
  EXPECT_EQ(Printable(std::string("\x1b[2J\x7f\0z", 7)), "\\x1b[2J\\x7f\\x00z");
  EXPECT_EQ(Printable("\xc2\x9b" "31m"), "\\xc2\\x9b31m");  // C1 CSI in UTF-8
  EXPECT_EQ(Printable("caf\xc3\xa9 \xe2\x82\xac \\ path"), "caf\xc3\xa9 \xe2\x82\xac \\ path");
  const std::string once = Printable("x\ny\x01");
  EXPECT_EQ(Printable(once), once);
}

TEST(Signal_Name_Test, Names_The_Stop_Signals) {
  EXPECT_EQ(Signal_Name(SIGINT), "SIGINT");
  EXPECT_EQ(Signal_Name(SIGTERM), "SIGTERM");
  EXPECT_EQ(Signal_Name(SIGUSR1), "signal " + std::to_string(SIGUSR1));
  EXPECT_EQ(Stop_Signal(), 0);
}

}  // namespace
}  // namespace quarnel::modelkit
