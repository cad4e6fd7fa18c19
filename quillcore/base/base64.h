#pragma once

#include "quillcore/base/bytes.h"

namespace quill {

// Standard alphabet with "=" padding (stored records).
std::string base64Encode(ByteView bytes);
// Strict: standard alphabet, length a multiple of 4, padding only at the end. None otherwise.
std::optional<Bytes> base64Decode(std::string_view text);

// URL-safe alphabet without padding: every byte string sent between devices as text.
namespace Base64URL {
std::string encode(ByteView bytes);
// Maps "-" and "_" back, pads to a multiple of 4, then decodes strictly; so it also
// accepts the standard alphabet and text that already carries (partial) padding.
std::optional<Bytes> decode(std::string_view text);
}  // namespace Base64URL

}  // namespace quill
