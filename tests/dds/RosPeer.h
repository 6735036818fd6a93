#pragma once
// The test peer: a Fast DDS participant that speaks to the bridge exactly as
// a ROS 2 node would, with the types fastddsgen generated from the test's own
// IDL (idl/RosMessages.idl). Samples received are kept with their arrival
// time, so that a test can wait for what it expects.

#include <array>
#include <chrono>
#include <condition_variable>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RosMessagesPubSubTypes.h"

namespace kav_test {

using Clock = std::chrono::steady_clock;

/// Reliability, durability and depth of a reader or writer, as ROS 2 names them.
struct Qos {
  Qos(bool reliable = true, bool transient_local = false, int depth = 10, std::string user_data = "")
      : reliable(reliable), transient_local(transient_local), depth(depth), user_data(std::move(user_data)) {}
  bool reliable;
  bool transient_local;
  int depth;
  std::string user_data;  ///< USER_DATA of the endpoint, as "key=value;"
};

/// Polls @p condition every 20 ms until it holds or @p timeout has passed;
/// returns its last value.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

/// Everything one reader received, oldest first.
template <class Message>
class Inbox : public eprosima::fastdds::dds::DataReaderListener {
 public:
  struct Entry {
    Clock::time_point arrival;
    Message message;
    std::uint64_t sequence;               ///< the writer's sequence number of the sample
    std::array<std::uint8_t, 16> writer;  ///< the GUID of the writer that sent it
  };

  void on_data_available(eprosima::fastdds::dds::DataReader* reader) override {
    Message message;
    eprosima::fastdds::dds::SampleInfo info;
    while (reader->take_next_sample(&message, &info) == ReturnCode_t::RETCODE_OK) {
      if (!info.valid_data) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::array<std::uint8_t, 16> writer;
        for (std::size_t i = 0; i < writer.size(); ++i) writer[i] = info.publication_handle.value[i];
        entries_.push_back(
            {Clock::now(), message, info.sample_identity.sequence_number().to64long(), writer});
      }
      arrived_.notify_all();
    }
  }

  std::vector<Entry> entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  std::size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }
  /// Waits until some received message satisfies @p match; returns the first
  /// such message, or nothing when @p timeout passed first.
  std::unique_ptr<Message> waitFor(const std::function<bool(const Message&)>& match,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::unique_ptr<Message> found;
    arrived_.wait_for(lock, timeout, [&] {
      for (const auto& entry : entries_) {
        if (match(entry.message)) {
          found = std::make_unique<Message>(entry.message);
          return true;
        }
      }
      return false;
    });
    return found;
  }
  /// The newest message, after waiting up to @p timeout for one.
  std::unique_ptr<Message> latest(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return !entries_.empty(); })) return nullptr;
    return std::make_unique<Message>(entries_.back().message);
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Entry> entries_;
};

/// One Fast DDS participant on a domain, UDP on the loopback only.
class RosPeer {
 public:
  explicit RosPeer(std::uint32_t domain);
  ~RosPeer();
  RosPeer(const RosPeer&) = delete;
  RosPeer& operator=(const RosPeer&) = delete;

  /// Subscribes to the DDS topic @p topic ("rt/...") with type @p PubSub.
  template <class PubSub>
  std::shared_ptr<Inbox<typename PubSub::type>> subscribe(const std::string& topic, const Qos& qos = {}) {
    auto inbox = std::make_shared<Inbox<typename PubSub::type>>();
    createReader(topic, new PubSub(), qos, inbox.get());
    inboxes_.push_back(inbox);
    return inbox;
  }

  /// A writer on @p topic with type @p PubSub.
  template <class PubSub>
  std::function<void(typename PubSub::type)> publisher(const std::string& topic, const Qos& qos = {}) {
    eprosima::fastdds::dds::DataWriter* writer = createWriter(topic, new PubSub(), qos);
    return [writer](typename PubSub::type message) { writer->write(&message); };
  }

  /// The USER_DATA of every other participant discovered so far, as text.
  std::vector<std::string> participantUserData();

  /// Waits until the writers of @p topic have matched @p count readers each.
  bool waitForReaders(const std::string& topic, int count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  /// Waits until the readers of @p topic have matched @p count writers each.
  bool waitForWriters(const std::string& topic, int count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  eprosima::fastdds::dds::Topic* topic(const std::string& name, eprosima::fastdds::dds::TopicDataType* type);
  void createReader(const std::string& name, eprosima::fastdds::dds::TopicDataType* type, const Qos& qos,
                    eprosima::fastdds::dds::DataReaderListener* listener);
  eprosima::fastdds::dds::DataWriter* createWriter(const std::string& name,
                                                   eprosima::fastdds::dds::TopicDataType* type,
                                                   const Qos& qos);

  class Discovery : public eprosima::fastdds::dds::DomainParticipantListener {
   public:
    void on_participant_discovery(eprosima::fastdds::dds::DomainParticipant*,
                                  eprosima::fastrtps::rtps::ParticipantDiscoveryInfo&& info) override;
    std::mutex mutex;
    std::vector<std::string> user_data;
  };

  Discovery discovery_;
  eprosima::fastdds::dds::DomainParticipant* participant_ = nullptr;
  eprosima::fastdds::dds::Publisher* publisher_ = nullptr;
  eprosima::fastdds::dds::Subscriber* subscriber_ = nullptr;
  std::vector<std::pair<std::string, eprosima::fastdds::dds::DataWriter*>> writers_;
  std::vector<std::pair<std::string, eprosima::fastdds::dds::DataReader*>> readers_;
  std::vector<std::shared_ptr<void>> inboxes_;
};

}  // namespace kav_test
