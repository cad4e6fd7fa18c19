#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

Bytes toBytes(std::string_view text);
std::string toString(ByteView bytes);

// Two lower-case hex digits per byte, no separator.
std::string hexString(ByteView bytes);
// Accepts upper or lower case; none for odd length or a non-hex character.
std::optional<Bytes> fromHex(std::string_view text);

// Running time depends only on the lengths, never on where the bytes differ.
bool constantTimeEquals(ByteView a, ByteView b);

// Appends `tail` to `head`.
void append(Bytes& head, ByteView tail);

}  // namespace quill
