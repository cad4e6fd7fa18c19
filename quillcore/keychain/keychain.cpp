#include "quillcore/keychain/keychain.h"

namespace quill {

std::string keychainItemName(std::string_view text) {
    if (text.empty()) return "_";
    return hexString(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::optional<std::string> keychainTextForName(std::string_view name) {
    if (name == "_") return std::string();
    if (name.empty() || name.size() % 2 != 0) return std::nullopt;
    for (char c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    auto bytes = fromHex(name);
    if (!bytes) return std::nullopt;
    return toString(*bytes);
}

}  // namespace quill
