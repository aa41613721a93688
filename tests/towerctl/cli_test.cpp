// towerctl as a user's shell runs it: each case is one process with its own
// state directory, and checks the exit code, what went to stdout and what
// went to stderr.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TowerctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("towerctl-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "xdg");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs towerctl with arguments (shell-quoted by the caller) and, when given,
  // standard input; the state lives under this test's directory.
  Result Run(const std::string& args, const std::string& input = "") {
    const fs::path out = dir_ / "out", err = dir_ / "err", in = dir_ / "in";
    std::ofstream(in) << input;
    const std::string command = "XDG_STATE_HOME='" + (dir_ / "xdg").string() + "' '" TOWERCTL "' " +
                                args + " <'" + in.string() + "' >'" + out.string() + "' 2>'" +
                                err.string() + "'";
    const int status = std::system(command.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
  }

  fs::path dir_;
};

TEST_F(TowerctlTest, HelpAndVersionGoToStdoutWithCodeZero) {
  for (const char* args : {"--help", "set --help", "recv --help"}) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 0) << args;
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << args;
    EXPECT_TRUE(r.err.empty()) << args;
  }
  EXPECT_NE(Run("--help").out.find("Exit codes"), std::string::npos);
  EXPECT_NE(Run("set --help").out.find("irc-packet=1..64"), std::string::npos);
  const Result version = Run("--version");
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out.rfind("towerctl ", 0), 0u);
}

TEST_F(TowerctlTest, UsageErrorsExitTwoAndNameTheProblem) {
  struct Case {
    const char* args;
    const char* says;
  } cases[] = {
      {"--foo", "--foo"},
      {"", "a command is required"},
      {"frobnicate", "frobnicate"},
      {"list extra", "extra"},
      {"info", "tower"},
      {"info 0", "1 to 31"},
      {"info abc", "abc"},
      {"--towers 32 list", "31"},
      {"--towers abc list", "abc"},
      {"recv 1 0", "0"},
      {"send 1 --hex zz", "'zz' is not a hex byte"},
      {"defaults bogus", "bogus"},
      {"defaults set range=far", "invalid value 'far' for range (valid: short, medium, long)"},
      {"restart 40", "invalid tower '40'"},
      {"demo /etc/passwd", "not a directory"},
      {"--state /etc/passwd list", "not a directory"},
  };
  for (const auto& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, 2) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_TRUE(r.out.empty() || std::string(c.args).empty()) << c.args << "\n" << r.out;
  }
}

TEST_F(TowerctlTest, EveryBadSettingIsNamedWithItsValidValues) {
  const Result r = Run(
      "set 1 range=foo link=9 endian=middle led-mode=x led1=maybe led2=2 carrier=-3 carrier=abc "
      "carrier=256 duty=5 duty=4:50 duty=0:101 irc-packet=65 irc-time=0 speed=1234 "
      "speed=2400:7 timeouts=1 timeouts=1:2:x flush=up reset=now nosuch=1");
  EXPECT_EQ(r.code, 2);
  for (const char* says : {
           "'foo' for range (valid: short, medium, long)",
           "'9' for link (valid: vll, ir, irc)",
           "'middle' for endian (valid: little, big)",
           "'x' for led-mode (valid: hardware, software)",
           "'maybe' for led1 (valid: on, off)",
           "'2' for led2 (valid: on, off)",
           "'-3' for carrier (valid: 1..255 kHz)",
           "'abc' for carrier",
           "'256' for carrier",
           "'5' for duty (valid: SELECTOR:DUTY",
           "'4:50' for duty",
           "'0:101' for duty",
           "'65' for irc-packet (valid: 1..64 bytes)",
           "'0' for irc-time (valid: 1..255)",
           "'1234' for speed (valid: TX[:RX] in bit/s",
           "'2400:7' for speed",
           "'1' for timeouts (valid: FIRST:IC:WRITE",
           "'1:2:x' for timeouts",
           "'up' for flush (valid: tx, rx, both)",
           "reset takes no value",
           "unknown setting 'nosuch' (valid: range, link",
       })
    EXPECT_NE(r.err.find(says), std::string::npos) << says << "\n" << r.err;
}

TEST_F(TowerctlTest, ABadSettingChangesNothingAndGoodOnesPersist) {
  // The good settings before the bad one are not applied either.
  EXPECT_EQ(Run("set 1 carrier=40 led1=on duty=1:30 speed=9600:4800 led2=maybe").code, 2);
  json info = json::parse(Run("info 1 --json").out);
  EXPECT_EQ(info["carrier_khz"], 38);
  EXPECT_EQ(info["leds"]["led1"], "off");

  // The simulated tower's settings survive from one command to the next.
  EXPECT_EQ(Run("set 1 carrier=40 led1=on duty=1:30 speed=9600:4800 irc-packet=32").code, 0);
  info = json::parse(Run("info 1 --json").out);
  EXPECT_EQ(info["carrier_khz"], 40);
  EXPECT_EQ(info["leds"]["led1"], "on");
  EXPECT_EQ(info["duty_cycle"][1], 30);
  EXPECT_EQ(info["speed_bps"]["transmit"], 9600);
  EXPECT_EQ(info["speed_bps"]["receive"], 4800);
  EXPECT_EQ(info["irc"]["packet_size_bytes"], 32);

  // Range and link mode come from the stored defaults at every open.
  EXPECT_EQ(Run("defaults set range=short").code, 0);
  EXPECT_EQ(json::parse(Run("info 1 --json").out)["range"], "short");
  EXPECT_EQ(Run("defaults reset").code, 0);
}

TEST_F(TowerctlTest, CommandsStartedTogetherBothKeepTheirSettings) {
  // Each boots the machine from the same state directory: the second waits
  // for the first, so neither setting is lost.
  const std::string one = "XDG_STATE_HOME='" + (dir_ / "xdg").string() + "' '" TOWERCTL "' set 1 ";
  const std::string both = "(" + one + "carrier=40 & " + one + "led2=on & wait) >/dev/null 2>&1";
  ASSERT_EQ(std::system(both.c_str()), 0);
  const json info = json::parse(Run("info 1 --json").out);
  EXPECT_EQ(info["carrier_khz"], 40);
  EXPECT_EQ(info["leds"]["led2"], "on");
}

TEST_F(TowerctlTest, MissingTowersExitThree) {
  for (const char* args : {"info 2", "set 5 range=short", "recv 3", "send 2 hi", "restart 4"}) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 3) << args << "\n" << r.err;
    EXPECT_NE(r.err.find("there is no tower"), std::string::npos) << args << "\n" << r.err;
  }
  EXPECT_EQ(Run("--towers 3 info 3").code, 0);
  EXPECT_EQ(Run("hc 7").code, 3);
}

TEST_F(TowerctlTest, JsonDocumentsHaveTheirShape) {
  const json list = json::parse(Run("--towers 2 list --json").out);
  ASSERT_EQ(list["towers"].size(), 2u);
  EXPECT_EQ(list["towers"][1]["tower"], 2);
  EXPECT_TRUE(list["towers"][1]["path"].is_string());

  const json info = json::parse(Run("info 1 --json").out);
  for (const char* key :
       {"tower", "path", "state", "driver_version", "firmware_version", "range", "link",
        "speed_bps", "timeouts_ms", "led_mode", "leds", "endian", "carrier_khz", "duty_cycle",
        "irc", "error_state", "counters", "copyright", "credits"})
    EXPECT_TRUE(info.contains(key)) << key;
  EXPECT_EQ(info["state"]["present"], true);
  EXPECT_EQ(info["duty_cycle"].size(), 4u);
  for (const char* key : {"transmitted_bytes", "received_bytes", "packets_to_host", "errors"})
    EXPECT_TRUE(info["counters"][key].is_number()) << key;

  const json sent = json::parse(Run("send 1 --hex 48 69 --json").out);
  EXPECT_EQ(sent["sent"]["bytes"], 2);
  EXPECT_EQ(sent["sent"]["text"], "Hi");
  EXPECT_EQ(sent["sent"]["hex"], "48 69");

  // Nothing received is said, in text and in JSON, and is not an error.
  const json nothing = json::parse(Run("--silent recv 1 4 10 --json").out);
  EXPECT_EQ(nothing["received"]["bytes"], 0);
  const Result text = Run("--silent recv 1 4 10");
  EXPECT_EQ(text.code, 0);
  EXPECT_NE(text.out.find("received nothing"), std::string::npos);

  const json defaults = json::parse(Run("defaults show --json").out);
  EXPECT_TRUE(defaults["range"].is_string());
  EXPECT_TRUE(defaults["buffer_bytes"].is_number());
  const json diag = json::parse(Run("diag 1 --json").out);
  EXPECT_EQ(diag["problem"]["number"], 0);
  EXPECT_TRUE(diag["driver"]["version"].is_string());
  EXPECT_EQ(json::parse(Run("set 1 led2=on --json").out)["applied"][0], "led2=on");
}

TEST_F(TowerctlTest, ShellNumbersTowersAsListDoesAndListsItsOwnCommands) {
  const Result r = Run("shell",
                       "help\nplug\nplug silent\nunplug 2\ntowers\ntowers --json\ntowers 1\n"
                       "unplug 9\nquit\n");
  EXPECT_NE(r.out.find("quit"), std::string::npos);
  EXPECT_NE(r.out.find("plugged in a simulated tower: tower 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("plugged in a simulated tower: tower 3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unplugged tower 2"), std::string::npos) << r.out;
  // What was tower 3 is tower 2 now, and 'towers' says so.
  EXPECT_NE(r.out.find("tower 2: simulated, silent"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"far_side\": \"silence\""), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("towers takes only --json"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("no simulated tower 9"), std::string::npos) << r.err;
  // The shell's last command failed: its code is the shell's.
  EXPECT_EQ(r.code, 3);
}

// The demo's whole story with --json is one document on stdout, every step
// under its own key, the diagnostics included; nothing else is printed there.
TEST_F(TowerctlTest, DemoWithJsonIsOneDocument) {
  const Result r = Run("demo --json");
  ASSERT_EQ(r.code, 0) << r.err;
  const json demo = json::parse(r.out);
  EXPECT_EQ(demo["plugged"]["problem"], 28);
  EXPECT_EQ(demo["installer"]["exit_code"], 0);
  ASSERT_EQ(demo["messages"].size(), 4u);
  EXPECT_EQ(demo["messages"][0]["caption"], "QIRO USB Tower Setup");
  EXPECT_EQ(demo["settings"]["range"], "long");
  EXPECT_EQ(demo["settings"]["link_mode"], "IR");
  EXPECT_TRUE(demo["settings"]["state"]["receiving"]);
  EXPECT_EQ(demo["sent"]["text"], "Hello, Zembo");
  EXPECT_EQ(demo["heard"], demo["sent"]);
  EXPECT_EQ(demo["counters"]["transmitted_bytes"], 12);
  EXPECT_EQ(demo["diagnostics"]["problem"]["number"], 0);
  EXPECT_EQ(demo["uninstalled"]["tower_entries_left"], 0);
}

TEST_F(TowerctlTest, DemoNeverGrowsADirectoryTree) {
  const fs::path deep = dir_ / "no" / "such" / "dir";
  const Result r = Run("demo '" + deep.string() + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_FALSE(fs::exists(dir_ / "no"));
  // One new level is fine, and the demo runs there.
  const Result ok = Run("demo '" + (dir_ / "state").string() + "'");
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_NE(ok.out.find("heard:"), std::string::npos);
}

}  // namespace
