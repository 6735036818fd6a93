#include "RosPeer.h"

#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <stdexcept>
#include <thread>

namespace kav_test {

namespace dds = eprosima::fastdds::dds;

namespace {

template <class EntityQos>
void apply(EntityQos& entity, const Qos& qos) {
  entity.reliability().kind = qos.reliable ? dds::RELIABLE_RELIABILITY_QOS : dds::BEST_EFFORT_RELIABILITY_QOS;
  entity.durability().kind =
      qos.transient_local ? dds::TRANSIENT_LOCAL_DURABILITY_QOS : dds::VOLATILE_DURABILITY_QOS;
  entity.history().kind = dds::KEEP_LAST_HISTORY_QOS;
  entity.history().depth = qos.depth;
  if (!qos.user_data.empty()) {
    entity.user_data().setValue(
        std::vector<eprosima::fastrtps::rtps::octet>(qos.user_data.begin(), qos.user_data.end()));
  }
}

}  // namespace

RosPeer::RosPeer(std::uint32_t domain) {
  dds::DomainParticipantQos qos = dds::PARTICIPANT_QOS_DEFAULT;
  // UDP only: no shared-memory segments left behind by the tests.
  qos.transport().use_builtin_transports = false;
  qos.transport().user_transports.push_back(
      std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>());
  participant_ = dds::DomainParticipantFactory::get_instance()->create_participant(domain, qos, &discovery_,
                                                                                   dds::StatusMask::none());
  if (participant_ == nullptr) throw std::runtime_error("Fast DDS: cannot create a participant");
  publisher_ = participant_->create_publisher(dds::PUBLISHER_QOS_DEFAULT);
  subscriber_ = participant_->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT);
}

RosPeer::~RosPeer() {
  participant_->delete_contained_entities();
  dds::DomainParticipantFactory::get_instance()->delete_participant(participant_);
}

dds::Topic* RosPeer::topic(const std::string& name, dds::TopicDataType* type) {
  dds::TypeSupport support(type);
  support.register_type(participant_);
  if (dds::TopicDescription* existing = participant_->lookup_topicdescription(name)) {
    return static_cast<dds::Topic*>(existing);
  }
  dds::Topic* topic = participant_->create_topic(name, support.get_type_name(), dds::TOPIC_QOS_DEFAULT);
  if (topic == nullptr) throw std::runtime_error("Fast DDS: cannot create topic " + name);
  return topic;
}

void RosPeer::createReader(const std::string& name, dds::TopicDataType* type, const Qos& qos,
                           dds::DataReaderListener* listener) {
  dds::DataReaderQos reader_qos = dds::DATAREADER_QOS_DEFAULT;
  apply(reader_qos, qos);
  dds::DataReader* reader = subscriber_->create_datareader(topic(name, type), reader_qos, listener);
  if (reader == nullptr) throw std::runtime_error("Fast DDS: cannot create a reader of " + name);
  readers_.emplace_back(name, reader);
}

dds::DataWriter* RosPeer::createWriter(const std::string& name, dds::TopicDataType* type, const Qos& qos) {
  dds::DataWriterQos writer_qos = dds::DATAWRITER_QOS_DEFAULT;
  apply(writer_qos, qos);
  dds::DataWriter* writer = publisher_->create_datawriter(topic(name, type), writer_qos);
  if (writer == nullptr) throw std::runtime_error("Fast DDS: cannot create a writer of " + name);
  writers_.emplace_back(name, writer);
  return writer;
}

void RosPeer::Discovery::on_participant_discovery(dds::DomainParticipant*,
                                                  eprosima::fastrtps::rtps::ParticipantDiscoveryInfo&& info) {
  if (info.status != eprosima::fastrtps::rtps::ParticipantDiscoveryInfo::DISCOVERED_PARTICIPANT) return;
  const auto& data = info.info.m_userData.data_vec();
  std::lock_guard<std::mutex> lock(mutex);
  user_data.emplace_back(data.begin(), data.end());
}

std::vector<std::string> RosPeer::participantUserData() {
  std::lock_guard<std::mutex> lock(discovery_.mutex);
  return discovery_.user_data;
}

bool RosPeer::waitForReaders(const std::string& topic, int count, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  for (const auto& [name, writer] : writers_) {
    if (name != topic) continue;
    while (true) {
      dds::PublicationMatchedStatus status;
      writer->get_publication_matched_status(status);
      if (status.current_count >= count) break;
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return true;
}

bool RosPeer::waitForWriters(const std::string& topic, int count, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  for (const auto& [name, reader] : readers_) {
    if (name != topic) continue;
    while (true) {
      dds::SubscriptionMatchedStatus status;
      reader->get_subscription_matched_status(status);
      if (status.current_count >= count) break;
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return true;
}

}  // namespace kav_test
