#pragma once

#include <string>
#include <string_view>
#include <vector>

// Unicode services on ICU: canonical equivalence for names and digit values for typed text.
namespace quill::unicode {

// Normalization form C of UTF-8 text. Text that is not valid UTF-8 comes back unchanged.
std::string nfc(std::string_view utf8);

// Canonically equivalent (equal NFC forms).
bool canonicallyEqual(std::string_view a, std::string_view b);

// Orders texts by the Unicode scalar values of their NFC forms: no locale, no case folding.
int compareNFC(std::string_view a, std::string_view b);

// The values of the characters that are decimal digits of any script, in order; every other
// character (and any byte that is not UTF-8) is skipped.
std::vector<int> decimalDigitValues(std::string_view utf8);

}  // namespace quill::unicode
