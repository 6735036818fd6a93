#include "Text.h"

#include <set>
#include <stdexcept>
#include <vector>

namespace kav {
namespace serve {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at @p i, or 0 when there is none.
std::size_t sequenceAt(const std::string& text, std::size_t i) {
  const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string excerpt(const std::string& text, std::size_t max_bytes) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = sequenceAt(text, i);
    const bool control = length == 1 && (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7F);
    const std::size_t adds = length == 0 || control ? sizeof kReplacement - 1 : length;
    if (out.size() + adds > max_bytes) return out + "...";
    if (length == 0 || control) {
      out += kReplacement;
      i += length == 0 ? 1 : length;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

nlohmann::json parseStrictJson(const char* begin, const char* end) {
  using nlohmann::json;
  std::vector<std::set<std::string>> keys;  // of every object being parsed
  std::string duplicate;
  json parsed = json::parse(begin, end, [&](int, json::parse_event_t event, json& value) {
    if (event == json::parse_event_t::object_start) keys.emplace_back();
    if (event == json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == json::parse_event_t::key && !keys.empty() &&
        !keys.back().insert(value.get<std::string>()).second && duplicate.empty()) {
      duplicate = value.get<std::string>();
    }
    return true;
  });
  if (!duplicate.empty()) throw std::invalid_argument("the key \"" + excerpt(duplicate) + "\" appears twice");
  return parsed;
}

}  // namespace serve
}  // namespace kav
