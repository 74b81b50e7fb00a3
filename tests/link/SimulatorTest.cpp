// The simulator's own command line.
#include "LinkTestSupport.h"

using linktest::LinkHold;

namespace {

TEST(Simulator, HelpNamesEveryOption) {
  cltest::RunResult r = cltest::runProgram(cltest::binPath("corelatch-sim"), {"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* option : {"--tcp", "--bind", "--pty", "--serial", "--model", "--module", "--router", "--firmware",
                             "--build", "--name", "--features", "--heartbeat", "--silent", "--drop-every",
                             "--corrupt-every", "--close-after", "--close-in-order", "--garbage", "--seed", "--trace"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

TEST(Simulator, BadArgumentsAreOneLineErrors) {
  const std::vector<std::vector<std::string>> cases{
      {}, {"--tcp", "70000"}, {"--tcp", "0", "--module", "7"}, {"--tcp", "0", "--firmware", "1.2"},
      {"--tcp", "0", "--serial", "XYZ"}, {"--tcp", "0", "--bogus"}, {"--tcp"}};
  for (const auto& args : cases) {
    cltest::RunResult r = cltest::runProgram(cltest::binPath("corelatch-sim"), args, {{}, {}, "", 10, ""});
    EXPECT_EQ(r.status, 2) << args.size();
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("corelatch-sim: ", 0), 0u) << r.err;
  }
}

TEST(Simulator, SilentDeviceLetsTheLinkStartButAnswersNothing) {
  linktest::Sim sim({"--tcp", "0", "--silent"});
  LinkHold hold(aLink_CreateTCPIP(linktest::kSerial, linktest::loopback(), sim.port()));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  EXPECT_EQ(linktest::readSerialNumber(id, 3), 0u);
  EXPECT_TRUE(sim.seen("rx 06 03 03 49 20", 3));
  EXPECT_EQ(sim.count("tx "), 0u);
}

TEST(Simulator, DropsEveryNthReply) {
  linktest::Sim sim({"--tcp", "0", "--heartbeat", "0", "--drop-every", "2"});
  LinkHold hold(aLink_CreateTCPIP(linktest::kSerial, linktest::loopback(), sim.port()));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(linktest::readSerialNumber(id), linktest::kSerial);
  EXPECT_TRUE(sim.seen("drop ", 2));
}

}  // namespace
