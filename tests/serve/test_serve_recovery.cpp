// kav serve's recover runner: one recovery at a time off the network
// threads, its outcome to the client that asked, quoted as valid UTF-8.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../apps/kav/serve/Recovery.h"

namespace {

using kav::serve::ClientReply;
using kav::serve::Recovery;
using kav::serve::Sender;

// Collects the answers the recovery's thread delivers.
struct Answers {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<std::uint64_t, ClientReply>> list;

  Recovery::Answer sink() {
    return [this](const Sender& to, const ClientReply& outcome) {
      std::lock_guard<std::mutex> lock(mutex);
      list.emplace_back(to.client, outcome);
      arrived.notify_all();
    };
  }
  std::pair<std::uint64_t, ClientReply> wait(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    // A bound only so that a broken runner fails instead of hanging.
    const bool came = arrived.wait_for(lock, std::chrono::seconds(30), [&] { return list.size() >= count; });
    if (!came) throw std::runtime_error("no answer");
    return list[count - 1];
  }
};

Sender client(std::uint64_t id) {
  Sender sender;
  sender.client = id;
  return sender;
}

TEST(ServeRecovery, OneAtATimeAndTheOutcomeGoesToWhoAsked) {
  Answers answers;
  Recovery recovery(answers.sink());
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  int runs = 0;
  std::vector<std::string> order;  // of the steps on the recovery's thread
  EXPECT_FALSE(recovery.afterwards([] {})) << "nothing to follow";

  EXPECT_TRUE(recovery
                  .start(client(7),
                         [&] {
                           ++runs;
                           released.wait();
                           order.push_back("recover");
                         })
                  .message.empty());
  EXPECT_TRUE(recovery.busy());
  const ClientReply refused = recovery.start(client(8), [&] { ++runs; });
  EXPECT_EQ(refused.level, ClientReply::kError);
  EXPECT_NE(refused.message.find("running already"), std::string::npos) << refused.message;
  EXPECT_TRUE(recovery.afterwards([&] { order.push_back("stop"); }));

  release.set_value();
  const auto [to, outcome] = answers.wait(1);
  EXPECT_EQ(to, 7u);
  EXPECT_EQ(outcome.level, ClientReply::kInfo);
  EXPECT_NE(outcome.message.find("recovered"), std::string::npos) << outcome.message;
  EXPECT_EQ(runs, 1) << "the refused request must not run";
  EXPECT_EQ(order, (std::vector<std::string>{"recover", "stop"})) << "the stop follows the recovery";
  EXPECT_FALSE(recovery.busy()) << "free again once answered";
}

TEST(ServeRecovery, AFailureIsAnErrorQuotingTheMessageAsValidText) {
  Answers answers;
  Recovery recovery(answers.sink());
  EXPECT_TRUE(
      recovery
          .start(client(3),
                 [] { throw std::runtime_error("motor 5 still silent\x01\xff" + std::string(600, 'x')); })
          .message.empty());
  const auto [to, outcome] = answers.wait(1);
  EXPECT_EQ(to, 3u);
  EXPECT_EQ(outcome.level, ClientReply::kError);
  EXPECT_EQ(
      outcome.message.rfind("/arm/command failed: recover: motor 5 still silent\xEF\xBF\xBD\xEF\xBF\xBD", 0),
      0u)
      << outcome.message;
  EXPECT_LT(outcome.message.size(), 400u) << "an excerpt, not the whole text";
  // A failed recovery frees the runner too.
  EXPECT_TRUE(recovery.start(client(4), [] {}).message.empty());
  EXPECT_EQ(answers.wait(2).second.level, ClientReply::kInfo);
}

}  // namespace
