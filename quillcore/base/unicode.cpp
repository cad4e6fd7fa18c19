#include "quillcore/base/unicode.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>

namespace quill::unicode {

namespace {

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isValidUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    int32_t length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

}  // namespace

std::string nfc(std::string_view utf8) {
    // ASCII is already in every normal form; most names are ASCII.
    if (isAscii(utf8) || utf8.size() > static_cast<std::size_t>(INT32_MAX) || !isValidUtf8(utf8))
        return std::string(utf8);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(utf8);
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    icu::UnicodeString normalized = normalizer->normalize(source, status);
    if (U_FAILURE(status)) return std::string(utf8);
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    return nfc(a) == nfc(b);
}

int compareNFC(std::string_view a, std::string_view b) {
    // Byte order of UTF-8 is the order of the scalar values it encodes.
    int c = nfc(a).compare(nfc(b));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::vector<int> decimalDigitValues(std::string_view utf8) {
    std::vector<int> values;
    const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
    int32_t length = static_cast<int32_t>(std::min<std::size_t>(utf8.size(), INT32_MAX));
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) continue;
        if (u_charType(c) == U_DECIMAL_DIGIT_NUMBER) {
            int32_t value = u_charDigitValue(c);
            if (value >= 0 && value <= 9) values.push_back(value);
        }
    }
    return values;
}

}  // namespace quill::unicode
