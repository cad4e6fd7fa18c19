#pragma once

// Checks that an operation fails with one exact identity or key store error.

#include <gtest/gtest.h>

#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/key_store.h"

namespace quill::testing {

template <class E, class F>
void expectError(F&& f, const E& expected) {
    try {
        f();
        ADD_FAILURE() << "no error; expected " << expected.description();
    } catch (const E& e) {
        EXPECT_EQ(e, expected) << e.description();
    }
}

}  // namespace quill::testing
