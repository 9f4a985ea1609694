// A disk only root may read, read by `nobody` through a private UDisks2 (its own system
// bus, polkitd, udevd and udisksd, started here and stopped afterwards); polkit decides
// through a rule in the stack's own rules folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/Samples.h"
#include "fixtures/UDisksStack.h"

namespace korvalane {
namespace {

using testing::CommandResult;
using testing::SamplePath;

class UDisksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { stack_ = std::make_unique<testing::UDisksStack>(SamplePath("fat16.img")); }
  static void TearDownTestSuite() { stack_.reset(); }
  void SetUp() override {
    if (!stack_->SkipReason().empty()) GTEST_SKIP() << stack_->SkipReason();
    ASSERT_EQ(stack_->Failure(), "");
  }

  static CommandResult AsNobody(const std::vector<std::string>& args) {
    std::vector<std::string> command{testing::CliPath()};
    command.insert(command.end(), args.begin(), args.end());
    return testing::Run(stack_->AsNobody(command));
  }
  static CommandResult AsRoot(const std::vector<std::string>& args) {
    std::vector<std::string> command{testing::CliPath()};
    command.insert(command.end(), args.begin(), args.end());
    return testing::Run(command);
  }

  static inline std::unique_ptr<testing::UDisksStack> stack_;
};

std::string Sha256(const std::string& path) { return testing::Run({"sha256sum", path}).Out.substr(0, 64); }

// With the rule, nobody reads exactly the bytes root reads.
TEST_F(UDisksTest, ARuleLetsNobodyReadWhatRootReads) {
  const std::string& loop = stack_->Loop;
  ASSERT_NE(testing::Run(stack_->AsNobody({"head", "-c", "1", loop})).Status, 0)
      << loop << " is readable by nobody without UDisks2";

  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"details", loop}, {"hex", loop, "0"}, {"text", loop, "68"},
                                             {"record", loop, "68"}, {"drives", loop}}) {
    const CommandResult nobody = AsNobody(command);
    const CommandResult root = AsRoot(command);
    EXPECT_EQ(nobody.Status, 0) << command[0] << ": " << nobody.Err;
    EXPECT_EQ(nobody.Out, root.Out) << command[0];
    EXPECT_FALSE(nobody.Out.empty()) << command[0];
  }

  // The whole device, byte for byte.
  struct stat image{};
  ASSERT_EQ(stat(SamplePath("fat16.img").c_str(), &image), 0);
  const std::string sectors = std::to_string(image.st_size / 512);
  const std::string out = stack_->Dir + "/out/";
  const CommandResult nobody = AsNobody({"export", loop, "0", sectors, out + "nobody.bin"});
  const CommandResult root = AsRoot({"export", loop, "0", sectors, out + "root.bin"});
  ASSERT_EQ(nobody.Status, 0) << nobody.Err;
  ASSERT_EQ(root.Status, 0) << root.Err;
  EXPECT_EQ(Sha256(out + "nobody.bin"), Sha256(out + "root.bin"));
  EXPECT_EQ(Sha256(out + "nobody.bin"), Sha256(SamplePath("fat16.img")));
}

// Without it, a script is refused at once, in one line, with status 2. On a terminal
// polkit's text agent asks; --no-prompt keeps it from asking.
TEST_F(UDisksTest, WithoutTheRuleNobodyIsRefusedAtOnce) {
  const CommandResult restarted = stack_->SetRule("");
  ASSERT_EQ(restarted.Status, 0) << restarted.Err;
  const std::string& loop = stack_->Loop;

  // udisksd names the action for the machine's own disks "-system"; a loop device set
  // up by root is one of them.
  const std::string refused =
      "korvalane-cli: cannot open '" + loop + "': not authorized by polkit (org.freedesktop.udisks2.open-device-system)";
  const auto start = std::chrono::steady_clock::now();
  const CommandResult details = AsNobody({"details", loop});
  EXPECT_EQ(details.Status, 2);
  EXPECT_EQ(details.Err, refused + "\n");
  EXPECT_EQ(details.Out, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "a refusal must not wait";

  // script(1) gives the command a terminal; an end of input (Ctrl+D, sent until the
  // agent reads it) answers the password prompt with a refusal.
  std::string asNobody;
  for (const std::string& word : stack_->AsNobody({testing::CliPath()})) asNobody += word + " ";
  const auto onTerminal = [&](const std::string& options) {
    return testing::Run({"sh", "-c",
                         "for i in $(seq 40); do sleep 0.5; printf '\\004'; done | script -qec '" + asNobody + options +
                             " hex " + loop + " 0' /dev/null"});
  };
  const CommandResult asked = onTerminal("");
  EXPECT_NE(asked.Out.find("AUTHENTICATING FOR org.freedesktop.udisks2.open-device-system"), std::string::npos)
      << asked.Out;
  EXPECT_NE(asked.Out.find(refused), std::string::npos) << asked.Out;
  const CommandResult notAsked = onTerminal("--no-prompt");
  EXPECT_EQ(notAsked.Out.find("AUTHENTICATING"), std::string::npos) << notAsked.Out;
  EXPECT_NE(notAsked.Out.find(refused), std::string::npos) << notAsked.Out;

  const CommandResult back = stack_->SetRule(testing::kPolkitGrantsNobody);
  EXPECT_EQ(back.Status, 0) << back.Err;
}

// A system bus that takes connections and answers nothing (its daemon stopped) is given a
// few seconds, then named as the reason.
TEST_F(UDisksTest, ASilentBusIsWaitedForAFewSecondsOnly) {
  std::ifstream pidFile(stack_->Dir + "/dbus.pid");
  std::string pid;
  ASSERT_TRUE(std::getline(pidFile, pid));
  testing::Run({"kill", "-STOP", pid});
  const auto start = std::chrono::steady_clock::now();
  const CommandResult hex = AsNobody({"hex", stack_->Loop, "0"});
  const auto waited = std::chrono::steady_clock::now() - start;
  testing::Run({"kill", "-CONT", pid});
  EXPECT_EQ(hex.Status, 2);
  EXPECT_EQ(hex.Err, "korvalane-cli: cannot open '" + stack_->Loop + "': the system bus did not answer within 5 seconds\n");
  EXPECT_LT(waited, std::chrono::seconds(15));
}

}  // namespace
}  // namespace korvalane
