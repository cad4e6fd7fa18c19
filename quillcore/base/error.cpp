#include "quillcore/base/error.h"

namespace quill {

const char* Error::what() const noexcept {
    if (const std::string* cached = what_.load(std::memory_order_acquire)) return cached->c_str();
    try {
        auto* text = new std::string(description());
        const std::string* expected = nullptr;
        // The first thread to finish publishes its text; the others use it and drop their own.
        if (!what_.compare_exchange_strong(expected, text, std::memory_order_acq_rel)) {
            delete text;
            return expected->c_str();
        }
        return text->c_str();
    } catch (...) {
        return "quill::Error";
    }
}

Error::~Error() { delete what_.load(std::memory_order_relaxed); }

std::string DecodingError::description() const {
    switch (kind) {
        case Kind::keyNotFound: return "No value associated with key \"" + key + "\".";
        case Kind::valueNotFound: return "Expected a value for key \"" + key + "\" but found null." + (text.empty() ? "" : " " + text);
        case Kind::typeMismatch: return "Type mismatch for key \"" + key + "\": " + text;
        case Kind::dataCorrupted: return key.empty() ? text : text + " (key \"" + key + "\")";
    }
    return text;
}

}  // namespace quill
