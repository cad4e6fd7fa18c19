#pragma once

// Known-answer vectors are written in hex; a typo in one is a test failure, not a silent empty key.

#include <gtest/gtest.h>

#include <string_view>

#include "quillcore/base/bytes.h"

namespace quill::crypto::testing {

inline Bytes hex(std::string_view text) {
    auto bytes = fromHex(text);
    EXPECT_TRUE(bytes.has_value()) << text;
    return bytes.value_or(Bytes{});
}

}  // namespace quill::crypto::testing
