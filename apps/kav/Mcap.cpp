#include "Mcap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kav {
namespace tool {

namespace {

const std::string kMagic("\x89MCAP0\r\n", 8);
constexpr int kZstdLevel = 3;

enum Opcode : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

// Little-endian fields appended to a byte string.
class Fields {
 public:
  template <class T>
  Fields& number(T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
      bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return *this;
  }
  Fields& u8(std::uint8_t value) { return number(value); }
  Fields& u16(std::uint16_t value) { return number(value); }
  Fields& u32(std::uint32_t value) { return number(value); }
  Fields& u64(std::uint64_t value) { return number(value); }
  // A string or byte array with a uint32 length in front (also a map's or an array's contents).
  Fields& prefixed(const std::string& data) {
    u32(static_cast<std::uint32_t>(data.size()));
    bytes_ += data;
    return *this;
  }
  Fields& raw(const std::string& data) {
    bytes_ += data;
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// <opcode><uint64 length><content>
std::string record(Opcode opcode, const std::string& content) {
  return Fields().u8(opcode).u64(content.size()).raw(content).bytes();
}

std::uint32_t crc32Of(const std::string& bytes, std::uint32_t crc = 0) {
  return static_cast<std::uint32_t>(
      ::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string compressed(const std::string& bytes) {
  std::string out(ZSTD_compressBound(bytes.size()), '\0');
  const std::size_t size = ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), kZstdLevel);
  if (ZSTD_isError(size)) throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(size));
  out.resize(size);
  return out;
}

}  // namespace

McapWriter::McapWriter(const std::string& path, bool replace, const std::string& library,
                       McapChunkLimits limits)
    : path_(path), limits_(limits) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL), 0644);
  if (fd_ < 0) {
    if (errno == EEXIST) throw std::runtime_error(path + " exists (--replace overwrites it)");
    throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  }
  try {
    append(kMagic + record(kHeader, Fields().prefixed("").prefixed(library).bytes()));
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

McapWriter::~McapWriter() {
  try {
    finish();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
  }
  ::close(fd_);
}

void McapWriter::append(const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t written = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    done += static_cast<std::size_t>(written);
  }
  data_crc_ = crc32Of(bytes, data_crc_);
  offset_ += bytes.size();
}

std::uint16_t McapWriter::addSchema(const std::string& name, const std::string& encoding,
                                    const std::string& data) {
  const auto id = static_cast<std::uint16_t>(schema_records_.size() + 1);
  schema_records_.push_back(
      record(kSchema, Fields().u16(id).prefixed(name).prefixed(encoding).prefixed(data).bytes()));
  append(schema_records_.back());
  return id;
}

std::uint16_t McapWriter::addChannel(std::uint16_t schema, const std::string& topic,
                                     const std::string& encoding) {
  const auto id = static_cast<std::uint16_t>(channels_.size() + 1);
  channels_.push_back({schema, topic, encoding});
  channel_records_.push_back(
      record(kChannel, Fields().u16(id).u16(schema).prefixed(topic).prefixed(encoding).prefixed("").bytes()));
  append(channel_records_.back());
  return id;
}

void McapWriter::addMetadata(const std::string& name, const std::map<std::string, std::string>& values) {
  Fields map;
  for (const auto& [key, value] : values) map.prefixed(key).prefixed(value);
  const std::string metadata = record(kMetadata, Fields().prefixed(name).prefixed(map.bytes()).bytes());
  metadata_indexes_.push_back(
      record(kMetadataIndex, Fields().u64(offset_).u64(metadata.size()).prefixed(name).bytes()));
  append(metadata);
}

void McapWriter::write(std::uint16_t channel, std::uint64_t log_time_ns, const std::string& data) {
  if (finished_) throw std::logic_error("MCAP: write after finish");
  if (channel == 0 || channel > channels_.size()) {
    throw std::invalid_argument("MCAP: no channel " + std::to_string(channel));
  }
  const std::string message = record(kMessage, Fields()
                                                   .u16(channel)
                                                   .u32(channels_[channel - 1].sequence++)
                                                   .u64(log_time_ns)
                                                   .u64(log_time_ns)
                                                   .raw(data)
                                                   .bytes());
  if (!chunk_.empty()) {
    const std::uint64_t start = std::min(chunk_start_, log_time_ns), end = std::max(chunk_end_, log_time_ns);
    if (end - start > limits_.span_ns || chunk_.size() + message.size() > limits_.bytes) closeChunk();
  }
  if (chunk_.empty()) chunk_start_ = chunk_end_ = log_time_ns;
  chunk_start_ = std::min(chunk_start_, log_time_ns);
  chunk_end_ = std::max(chunk_end_, log_time_ns);
  chunk_index_entries_[channel].emplace_back(log_time_ns, chunk_.size());
  chunk_ += message;
  ++channels_[channel - 1].count;
  first_time_ = message_count_ == 0 ? log_time_ns : std::min(first_time_, log_time_ns);
  last_time_ = std::max(last_time_, log_time_ns);
  ++message_count_;
}

void McapWriter::closeChunk() {
  if (chunk_.empty()) return;
  const std::string records = compressed(chunk_);
  const std::string chunk = record(kChunk, Fields()
                                               .u64(chunk_start_)
                                               .u64(chunk_end_)
                                               .u64(chunk_.size())
                                               .u32(crc32Of(chunk_))
                                               .prefixed("zstd")
                                               .u64(records.size())
                                               .raw(records)
                                               .bytes());
  // The chunk and its message indexes reach the file in one write; the
  // summary lists the chunk once it is there.
  std::string indexes;
  Fields offsets;
  for (auto& [channel, entries] : chunk_index_entries_) {
    std::sort(entries.begin(), entries.end());  // by log time, then place in the chunk
    Fields array;
    for (const auto& [time, offset] : entries) array.u64(time).u64(offset);
    offsets.u16(channel).u64(offset_ + chunk.size() + indexes.size());
    indexes += record(kMessageIndex, Fields().u16(channel).prefixed(array.bytes()).bytes());
  }
  const std::uint64_t chunk_offset = offset_;
  append(chunk + indexes);
  chunk_indexes_.push_back(record(kChunkIndex, Fields()
                                                   .u64(chunk_start_)
                                                   .u64(chunk_end_)
                                                   .u64(chunk_offset)
                                                   .u64(chunk.size())
                                                   .prefixed(offsets.bytes())
                                                   .u64(indexes.size())
                                                   .prefixed("zstd")
                                                   .u64(records.size())
                                                   .u64(chunk_.size())
                                                   .bytes()));
  chunk_.clear();
  chunk_index_entries_.clear();
}

void McapWriter::finish() {
  if (finished_) return;
  finished_ = true;
  closeChunk();
  append(record(kDataEnd, Fields().u32(data_crc_).bytes()));

  const std::uint64_t summary_start = offset_;
  std::string summary, summary_offsets;
  auto group = [&](Opcode opcode, const std::vector<std::string>& records) {
    if (records.empty()) return;
    const std::uint64_t start = summary_start + summary.size();
    for (const std::string& r : records) summary += r;
    summary_offsets += record(
        kSummaryOffset, Fields().u8(opcode).u64(start).u64(summary_start + summary.size() - start).bytes());
  };
  Fields counts;
  for (std::size_t i = 0; i < channels_.size(); ++i)
    counts.u16(static_cast<std::uint16_t>(i + 1)).u64(channels_[i].count);
  const std::string statistics =
      record(kStatistics, Fields()
                              .u64(message_count_)
                              .u16(static_cast<std::uint16_t>(schema_records_.size()))
                              .u32(static_cast<std::uint32_t>(channels_.size()))
                              .u32(0)  // attachments
                              .u32(static_cast<std::uint32_t>(metadata_indexes_.size()))
                              .u32(chunks())
                              .u64(first_time_)
                              .u64(last_time_)
                              .prefixed(counts.bytes())
                              .bytes());
  group(kSchema, schema_records_);
  group(kChannel, channel_records_);
  group(kStatistics, {statistics});
  group(kMetadataIndex, metadata_indexes_);
  group(kChunkIndex, chunk_indexes_);
  const std::uint64_t summary_offset_start = summary_start + summary.size();
  // The summary's CRC covers the footer up to the CRC itself.
  const std::string footer_start =
      Fields().u8(kFooter).u64(8 + 8 + 4).u64(summary_start).u64(summary_offset_start).bytes();
  const std::uint32_t summary_crc = crc32Of(footer_start, crc32Of(summary_offsets, crc32Of(summary)));
  append(summary + summary_offsets + footer_start + Fields().u32(summary_crc).bytes() + kMagic);
}

}  // namespace tool
}  // namespace kav
