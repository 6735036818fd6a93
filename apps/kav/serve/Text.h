#pragma once
// Text that comes from clients: quoted only as a short excerpt of valid
// UTF-8, and JSON parsed strictly (no duplicate keys).

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace kav {
namespace serve {

/// The longest excerpt of client text a message quotes, in bytes.
constexpr std::size_t kExcerptBytes = 64;

/// At most @p max_bytes of @p text as valid UTF-8: invalid or cut sequences
/// and control characters become U+FFFD, and "..." marks a cut.
std::string excerpt(const std::string& text, std::size_t max_bytes = kExcerptBytes);

/// Parses one JSON text; an object that names a key twice is refused.
/// @throw nlohmann::json::exception (parse errors; their text may quote the
///        input, so pass it through excerpt() before sending it anywhere)
/// @throw std::invalid_argument naming a duplicate key (quoted by excerpt())
nlohmann::json parseStrictJson(const char* begin, const char* end);

}  // namespace serve
}  // namespace kav
