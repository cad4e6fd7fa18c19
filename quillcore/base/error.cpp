#include "quillcore/base/error.h"

namespace quill {

const char* Error::what() const noexcept {
    try {
        if (what_.empty()) what_ = description();
        return what_.c_str();
    } catch (...) {
        return "quill::Error";
    }
}

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
