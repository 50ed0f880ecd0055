#include "records/isbn_forms.h"

#include <gtest/gtest.h>

namespace z39 {
namespace {

IsbnForms Forms(const char* text) {
    auto f = IsbnFormsOf(text);
    EXPECT_TRUE(f) << text;
    return f.value_or(IsbnForms{});
}

TEST(IsbnForms, ChinasRangesForEveryLengthOfPublisherCode) {
    struct Case {
        const char* entered;
        const char* hyphenated13;
        const char* hyphenated10;
    };
    const Case cases[] = {
        {"9787040123456", "978-7-04-012345-6", "7-04-012345-2"},      // 00-09
        {"7-302-12593-7", "978-7-302-12593-8", "7-302-12593-7"},      // 100-499
        {"9787536692930", "978-7-5366-9293-0", "7-5366-9293-5"},      // 5000-7999
        {"7800001237", "978-7-80000-123-9", "7-80000-123-7"},         // 80000-89999
        {"978 7 900000 12 5", "978-7-900000-12-5", "7-900000-12-7"},  // 900000-999999
    };
    for (const Case& c : cases) {
        IsbnForms f = Forms(c.entered);
        EXPECT_EQ(f.isbn13Hyphenated, c.hyphenated13) << c.entered;
        EXPECT_EQ(f.isbn10Hyphenated, c.hyphenated10) << c.entered;
    }
    // A small x, blanks and hyphens; the ISBN-10's X is written upper-case.
    IsbnForms x = Forms(" 750636543x ");
    EXPECT_EQ(x.isbn13, "9787506365437");
    EXPECT_EQ(x.isbn10, "750636543X");
    EXPECT_EQ(x.isbn10Hyphenated, "7-5063-6543-X");
}

TEST(IsbnForms, EnglishGroupsAnd979) {
    EXPECT_EQ(Forms("0-306-40615-2").isbn13Hyphenated, "978-0-306-40615-7");
    EXPECT_EQ(Forms("9781402894626").isbn10Hyphenated, "1-4028-9462-7");
    IsbnForms french = Forms("9791090636071");
    EXPECT_EQ(french.isbn13Hyphenated, "979-10-90636-07-1");
    EXPECT_EQ(french.isbn10, "");  // a 979 ISBN has no ISBN-10
    EXPECT_EQ(french.isbn10Hyphenated, "");
}

TEST(IsbnForms, InvalidValuesAreSearchedAsEnteredOnly) {
    for (const char* bad : {"7-302-12593-8", "9787536692931", "1234", "97875366929300",
                            "9771234567003", "75366929X3", "abcdefghij", ""}) {
        EXPECT_FALSE(IsbnFormsOf(bad)) << bad;
        EXPECT_EQ(IsbnSearchForms(bad).size(), 1u) << bad;
    }
    EXPECT_EQ(IsbnSearchForms(" 7-302-12593-8 "), std::vector<std::string>{"7-302-12593-8"});
    // The value as entered first, then the others, each once.
    EXPECT_EQ(IsbnSearchForms("9787536692930"),
              (std::vector<std::string>{"9787536692930", "978-7-5366-9293-0", "7536692935",
                                        "7-5366-9293-5"}));
    EXPECT_EQ(IsbnSearchForms("7-5366-9293-5"),
              (std::vector<std::string>{"7-5366-9293-5", "9787536692930", "978-7-5366-9293-0",
                                        "7536692935"}));
}

}  // namespace
}  // namespace z39
