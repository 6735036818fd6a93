// kav_arm_sim: the simulated arm as a program. Serves a local-socket bus (or
// joins a SocketCAN interface), attaches the seven simulated motors and runs
// until interrupted. A host passes the printed address as its can_name.
#include <sim/SimProgram.h>

#include <string>
#include <vector>

int main(int argc, char** argv) {
  return kav::sim::runSimulatorProgram("kav_arm_sim", std::vector<std::string>(argv + 1, argv + argc));
}
