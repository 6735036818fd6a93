#pragma once
// A writer of MCAP files: messages in zstd-compressed chunks, each followed by
// its message indexes, and at the end a summary (schemas, channels,
// statistics, metadata and chunk indexes, with their summary offsets) so that
// a reader can seek by time and topic.
//
// Layout: magic, header, the schema and channel records, metadata records,
// then one chunk (and its message indexes) after another, data end, summary,
// summary offsets, footer, magic. A chunk is written out, and handed to the
// operating system, as soon as it closes, so a file whose writer dies holds
// every message up to its last complete chunk.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kav {
namespace tool {

/// When a chunk closes by itself (McapWriter::closeChunk() closes one at any time).
struct McapChunkLimits {
  std::uint64_t span_ns = 1000000000;        ///< log times from first to last message
  std::size_t bytes = std::size_t{4} << 20;  ///< uncompressed records
};

class McapWriter {
 public:
  /// Creates @p path and writes the magic and the header.
  /// @param replace replace an existing file instead of refusing it
  /// @throw std::runtime_error when the file exists (and @p replace is
  ///        false) or cannot be created or written
  McapWriter(const std::string& path, bool replace, const std::string& library, McapChunkLimits limits = {});
  /// Finishes the file (see finish()); an error is printed, not thrown.
  ~McapWriter();
  McapWriter(const McapWriter&) = delete;
  McapWriter& operator=(const McapWriter&) = delete;

  /// Adds a schema; returns its id. Schemas and channels go before the first
  /// message, where a reader that scans the file from its start finds them.
  std::uint16_t addSchema(const std::string& name, const std::string& encoding, const std::string& data);
  /// Adds a channel on @p schema; returns its id.
  std::uint16_t addChannel(std::uint16_t schema, const std::string& topic, const std::string& encoding);
  /// Writes a metadata record (a name and key-value pairs).
  void addMetadata(const std::string& name, const std::map<std::string, std::string>& values);
  /// Adds a message to the open chunk; closes the chunk first when the
  /// message would take it over its limits. Publish time = log time; the
  /// sequence counts the channel's messages from 0.
  /// @throw std::invalid_argument when @p channel was not added
  /// @throw std::runtime_error when a closed chunk cannot be written
  void write(std::uint16_t channel, std::uint64_t log_time_ns, const std::string& data);
  /// Writes the open chunk, if it holds a message, and its message indexes.
  void closeChunk();
  /// Closes the chunk and writes the data end, the summary and the footer.
  /// Nothing can be added afterwards; a second call does nothing.
  void finish();

  std::uint64_t messages() const { return message_count_; }
  std::uint32_t chunks() const { return static_cast<std::uint32_t>(chunk_indexes_.size()); }

 private:
  struct Channel {
    std::uint16_t schema;
    std::string topic, encoding;
    std::uint32_t sequence = 0;
    std::uint64_t count = 0;
  };
  void append(const std::string& bytes);  // to the file, with the data section's CRC

  int fd_ = -1;
  std::string path_;
  McapChunkLimits limits_;
  std::uint64_t offset_ = 0;
  std::uint32_t data_crc_ = 0;
  bool finished_ = false;
  std::vector<std::string> schema_records_, channel_records_;
  std::vector<Channel> channels_;  // id - 1
  std::vector<std::string> metadata_indexes_;
  // The open chunk: its records, each channel's (log time, offset) pairs,
  // and the span of its log times.
  std::string chunk_;
  std::map<std::uint16_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>> chunk_index_entries_;
  std::uint64_t chunk_start_ = 0, chunk_end_ = 0;
  std::vector<std::string> chunk_indexes_;  // the summary's chunk index records
  std::uint64_t message_count_ = 0, first_time_ = 0, last_time_ = 0;
};

}  // namespace tool
}  // namespace kav
