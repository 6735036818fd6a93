// The kav_arm_sim program: its options, and a host talking to it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ArmBusHost.h"

namespace {

const std::string kProgram = std::string(KAV_BINARY_DIR) + "/sim/kav_arm_sim";

struct ProgramRun {
  int exit_code;
  std::string output;
};

ProgramRun run(const std::string& arguments) {
  FILE* pipe = ::popen((kProgram + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(KavArmSim, HelpExplainsEveryOption) {
  const ProgramRun help = run("--help");
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option :
       {"--address", "--can", "--bitrate", "--variant", "--start-pose", "--latency-us", "--noise-seed",
        "--urdf", "--duration", "--status", "--help", "can_name", "--mass-scale", "--friction-scale",
        "--coulomb", "--torque-constant", "--payload", "--current-noise"}) {
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  }
}

TEST(KavArmSim, UnusableArgumentsEndWithAMessageNamingThem) {
  const struct {
    const char* arguments;
    const char* named;
  } cases[] = {
      {"--variant two", "--variant"},
      {"--start-pose 1,2,3", "--start-pose"},
      {"--start-pose 0,0,0,0,0,0,nan", "--start-pose"},
      {"--latency-us -5", "--latency-us"},
      {"--duration 0", "--duration"},
      {"--urdf /nonexistent/arm.urdf", "/nonexistent/arm.urdf"},
      {"--address unix:@a --can vcan0", "--can"},
      {"--address tcp:1234", "tcp:1234"},
      {"--frobnicate 1", "--frobnicate"},
      {"--variant", "--variant"},
      {"--start-pose 0,0,0,0,0,0,-3", "joint 6"},
      {"--bitrate 999", "--bitrate"},
      {"--bitrate 2000000", "--bitrate"},
      {"--bitrate fast", "--bitrate"},
      {"--bitrate 1000000 --can vcan0", "--bitrate"},
      {"--mass-scale 1,1,1", "--mass-scale"},
      {"--mass-scale 1,1,1,1,1,0", "--mass-scale"},
      {"--friction-scale -1", "--friction-scale"},
      {"--coulomb 0.3,0.3,0.3,0.3,0.3,x", "--coulomb"},
      {"--torque-constant 1.1,0.9,1.1,0.9,1.1,", "--torque-constant"},
      {"--payload 0.5,0,0,2", "--payload"},
      {"--current-noise -0.1", "--current-noise"},
  };
  for (const auto& c : cases) {
    const ProgramRun result = run(c.arguments);
    EXPECT_EQ(result.exit_code, 2) << c.arguments << "\n" << result.output;
    EXPECT_NE(result.output.find(c.named), std::string::npos) << c.arguments << "\n" << result.output;
  }
}

TEST(KavArmSim, AHostReachesTheMotorsAtThePrintedAddress) {
  const std::string address = "unix:@kav-arm-sim-test-" + std::to_string(::getpid());
  const std::string command = kProgram + " --address " + address + " --variant 2 --duration 4" + " --urdf " +
                              KAV_SOURCE_DIR + "/share/urdf/vorlan_v1.1_aa.urdf" + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string can_name;
  char line[512];
  while (can_name.empty() && std::fgets(line, sizeof(line), pipe) != nullptr) {
    const std::string text(line);
    if (text.rfind("can_name: ", 0) == 0) can_name = text.substr(10, text.size() - 11);
  }
  EXPECT_EQ(can_name, address);
  {
    kav::testing::ArmBusHost host(can_name);
    host.toAll([](kav::hw_interface::MotorDlcBase& d) { return d.packEnableMotor(); });
    EXPECT_EQ(host.framesReceived(), 7);
    EXPECT_EQ(host.errorCode(6), 1);
  }
  std::string rest;
  while (std::fgets(line, sizeof(line), pipe) != nullptr) rest += line;
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(rest.find("7 frames received, 7 sent"), std::string::npos) << rest;
}

}  // namespace
