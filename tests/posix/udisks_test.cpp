// A disk only root may read, read by `nobody` through a private UDisks2: a system bus of
// its own, polkitd, udevd and udisksd, started here (scripts/udisks-stack) and stopped
// afterwards. polkit decides through a rule in the stack's own rules folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

using testing::CommandResult;
using testing::Lines;
using testing::SamplePath;

constexpr const char* kGrantNobody = R"(polkit.addRule(function(action, subject) {
  if ((action.id == "org.freedesktop.udisks2.open-device" ||
       action.id == "org.freedesktop.udisks2.open-device-system") && subject.user == "nobody") {
    return polkit.Result.YES;
  }
});
)";

class UDisksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (getuid() != 0) {
      skip_ = "not root: cannot start the system bus's daemons nor run as nobody";
      return;
    }
    char dir[] = "/tmp/korvalane-udisks-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      skip_ = "cannot make a folder in /tmp";
      return;
    }
    dir_ = dir;
    chmod(dir_.c_str(), 0755);
    testing::Run({"mkdir", "-p", dir_ + "/rules", dir_ + "/out"});
    chmod((dir_ + "/out").c_str(), 0777);  // nobody's export goes here
    WriteRule(kGrantNobody);

    const CommandResult stack = testing::Run({ScriptPath(), "start", dir_});
    if (stack.Status != 0) {
      skip_ = "the UDisks2 stack did not start: " + stack.Err;
      return;
    }
    address_ = Lines(stack.Out).at(0);  // DBUS_SYSTEM_BUS_ADDRESS=...

    const CommandResult attached = testing::Run({"losetup", "-f", "--show", "-r", SamplePath("fat16.img")});
    if (attached.Status != 0) {
      skip_ = "no loop devices: " + attached.Err;
      return;
    }
    loop_ = Lines(attached.Out).at(0);
    // udev sets a disk's mode as its rules say once it has seen the device; root's alone
    // from then on.
    testing::Run({"udevadm", "settle", "--timeout=10"});
    chmod(loop_.c_str(), 0600);
  }

  static void TearDownTestSuite() {
    if (!loop_.empty()) testing::Run({"losetup", "-d", loop_});
    if (!dir_.empty()) {
      testing::Run({ScriptPath(), "stop", dir_});
      testing::Run({"rm", "-rf", dir_});
    }
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }

  static std::string ScriptPath() {
    const char* scripts = std::getenv("KORVALANE_SCRIPTS");
    return std::string(scripts != nullptr ? scripts : KORVALANE_SCRIPTS_DIR) + "/udisks-stack";
  }

  static void WriteRule(const std::string& rule) {
    std::ofstream(dir_ + "/rules/50-korvalane-test.rules") << rule;
  }

  // korvalane-cli as nobody (no groups), on the private bus, stdin not a terminal.
  static CommandResult AsNobody(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                  "env", address_, testing::CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::Run(argv);
  }

  static CommandResult AsRoot(const std::vector<std::string>& args) {
    std::vector<std::string> argv{testing::CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::Run(argv);
  }

  static inline std::string skip_;
  static inline std::string dir_;
  static inline std::string address_;
  static inline std::string loop_;
};

std::string Sha256(const std::string& path) {
  const CommandResult sum = testing::Run({"sha256sum", path});
  return sum.Out.substr(0, 64);
}

// With the rule, nobody reads exactly the bytes root reads.
TEST_F(UDisksTest, ARuleLetsNobodyReadWhatRootReads) {
  // The device itself stays closed to nobody.
  const CommandResult direct =
      testing::Run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "head", "-c", "1", loop_});
  ASSERT_NE(direct.Status, 0) << loop_ << " is readable by nobody without UDisks2";

  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"details", loop_}, {"hex", loop_, "0"}, {"text", loop_, "68"},
                                             {"record", loop_, "68"}, {"drives", loop_}}) {
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
  const CommandResult nobody = AsNobody({"export", loop_, "0", sectors, dir_ + "/out/nobody.bin"});
  const CommandResult root = AsRoot({"export", loop_, "0", sectors, dir_ + "/out/root.bin"});
  ASSERT_EQ(nobody.Status, 0) << nobody.Err;
  ASSERT_EQ(root.Status, 0) << root.Err;
  EXPECT_EQ(Sha256(dir_ + "/out/nobody.bin"), Sha256(dir_ + "/out/root.bin"));
  EXPECT_EQ(Sha256(dir_ + "/out/nobody.bin"), Sha256(SamplePath("fat16.img")));
}

// Without it, a script is refused at once, in one line, with status 2; --no-prompt keeps
// polkit from asking even on a terminal.
TEST_F(UDisksTest, WithoutTheRuleNobodyIsRefusedAtOnce) {
  WriteRule("");
  const CommandResult restarted = testing::Run({ScriptPath(), "polkit", dir_});
  ASSERT_EQ(restarted.Status, 0) << restarted.Err;

  // udisksd names the action for the machine's own disks "-system"; a loop device
  // set up by root is one of them.
  const std::string refused =
      "korvalane-cli: cannot open '" + loop_ + "': not authorized by polkit (org.freedesktop.udisks2.open-device-system)\n";
  const auto start = std::chrono::steady_clock::now();
  const CommandResult details = AsNobody({"details", loop_});
  EXPECT_EQ(details.Status, 2);
  EXPECT_EQ(details.Err, refused);
  EXPECT_EQ(details.Out, "");

  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "a refusal must not wait";

  // On a terminal (script(1) gives one) polkit's text agent asks for a password there,
  // and an end of input (Ctrl+D, sent until the agent reads it) is a refusal; with
  // --no-prompt nothing is asked.
  const std::string asNobody =
      "setpriv --reuid=nobody --regid=nogroup --clear-groups env " + address_ + " " + testing::CliPath();
  const auto onTerminal = [&](const std::string& options) {
    return testing::Run({"sh", "-c",
                         "for i in $(seq 40); do sleep 0.5; printf '\\004'; done | script -qec '" + asNobody + " " +
                             options + " hex " + loop_ + " 0' /dev/null"});
  };
  const CommandResult asked = onTerminal("");
  EXPECT_NE(asked.Out.find("AUTHENTICATING FOR org.freedesktop.udisks2.open-device-system"), std::string::npos)
      << asked.Out;
  EXPECT_NE(asked.Out.find(refused.substr(0, refused.size() - 1)), std::string::npos) << asked.Out;
  const CommandResult notAsked = onTerminal("--no-prompt");
  EXPECT_EQ(notAsked.Out.find("AUTHENTICATING"), std::string::npos) << notAsked.Out;
  EXPECT_NE(notAsked.Out.find(refused.substr(0, refused.size() - 1)), std::string::npos) << notAsked.Out;

  WriteRule(kGrantNobody);
  testing::Run({ScriptPath(), "polkit", dir_});
}

}  // namespace
}  // namespace korvalane
