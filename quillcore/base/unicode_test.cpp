#include <gtest/gtest.h>

#include "quillcore/base/unicode.h"

using namespace quill;

TEST(Unicode, CanonicalEquivalenceAndOrder) {
    const std::string precomposed = "Jos\xC3\xA9";   // é as one scalar
    const std::string decomposed = "Jose\xCC\x81";   // e + combining acute
    EXPECT_EQ(unicode::nfc(decomposed), precomposed);
    EXPECT_TRUE(unicode::canonicallyEqual(precomposed, decomposed));
    EXPECT_FALSE(unicode::canonicallyEqual("Jose", precomposed));
    EXPECT_EQ(unicode::compareNFC(precomposed, decomposed), 0);
    EXPECT_LT(unicode::compareNFC("B", "a"), 0);  // no case folding
    EXPECT_LT(unicode::compareNFC("a", "ab"), 0);
    EXPECT_GT(unicode::compareNFC("\xC3\xA9", "z"), 0);
    // Bytes that are not UTF-8 are left alone rather than replaced.
    EXPECT_EQ(unicode::nfc("a\xFF"), "a\xFF");
    EXPECT_FALSE(unicode::canonicallyEqual("a\xFF", "a\xFE"));
}

TEST(Unicode, DecimalDigitsOfAnyScript) {
    EXPECT_EQ(unicode::decimalDigitValues("a1-2 3"), (std::vector<int>{1, 2, 3}));
    // Full-width 9 and Arabic-Indic 5 are decimal digits; a superscript two and a circled
    // four are numbers but not decimal digits.
    EXPECT_EQ(unicode::decimalDigitValues("\xEF\xBC\x99\xD9\xA5\xC2\xB2\xE2\x91\xA3"), (std::vector<int>{9, 5}));
    EXPECT_EQ(unicode::decimalDigitValues("7\xFF" "8"), (std::vector<int>{7, 8}));
    EXPECT_TRUE(unicode::decimalDigitValues("").empty());
}
