#include "app/number_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace pelvane {
namespace {

TEST(ParseInteger, AcceptsSignsDigitsAndSurroundingBlanks) {
    struct Case {
        const char* text;
        int value;
    };
    for (const Case& c : {Case{"30", 30}, Case{"  42", 42}, Case{"42 \t", 42}, Case{"\t-17 ", -17},
                          Case{"+8", 8}, Case{"0", 0}, Case{"000", 0}, Case{" 0 ", 0}, Case{"007", 7},
                          Case{"2147483647", 2147483647}, Case{"-2147483648", -2147483647 - 1}}) {
        int value = 12345;
        EXPECT_TRUE(parse_integer(c.text, value)) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

TEST(ParseInteger, RefusesOtherTextsAndKeepsTheValue) {
    for (const char* text : {"", "   ", "-", "+", " - ", "-0", "+0", "- 5", "5 5", "5a", "a5", "1.0", "1e3",
                             "0x10", "2147483648", "-2147483649", "99999999999999999999", "５"}) {
        int value = 30;
        EXPECT_FALSE(parse_integer(text, value)) << '"' << text << '"';
        EXPECT_EQ(value, 30) << '"' << text << '"';
    }
}

TEST(ParseNumber, AcceptsDecimalFloatingPointForms) {
    struct Case {
        const char* text;
        double value;
    };
    for (const Case& c : {Case{"1", 1.0}, Case{"255", 255.0}, Case{" 1000 ", 1000.0}, Case{"-2.5", -2.5},
                          Case{"+0.25", 0.25}, Case{".5", 0.5}, Case{"5.", 5.0}, Case{"1e3", 1000.0},
                          Case{"1E+3", 1000.0}, Case{"2.5e-1", 0.25}, Case{"-.5e1", -5.0}, Case{"0", 0.0},
                          Case{"0.0", 0.0}, Case{"0e5", 0.0}, Case{"\t0.000001\t", 0.000001},
                          Case{"0.1", 0.1}}) {
        double value = 777.0;
        EXPECT_TRUE(parse_number(c.text, value)) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

TEST(ParseNumber, RefusesOtherTextsAndKeepsTheValue) {
    for (const char* text : {"", "  ", "-", "+", ".", "-.", "1e", "1e-", "1e+", "e5", "1.2.3", "1,5", "--1",
                             "-0", "-0.0", ".0", "+0", "1 0", "inf", "nan", "0x1p3", "1e400", "-1e400",
                             "1e-400", "12abc"}) {
        double value = 255.0;
        EXPECT_FALSE(parse_number(text, value)) << '"' << text << '"';
        EXPECT_EQ(value, 255.0) << '"' << text << '"';
    }
}

TEST(FormatNumbers, ShowsTheDefaultsAsTheFormOpensWithThem) {
    EXPECT_EQ(format_number(1.0), "1");
    EXPECT_EQ(format_number(255.0), "255");
    EXPECT_EQ(format_number(1000.0), "1000");
    EXPECT_EQ(format_integer(30), "30");
    EXPECT_EQ(format_integer(600), "600");
    EXPECT_EQ(format_integer(-5), "-5");
}

TEST(FormatNumbers, UsesAtMostFifteenSignificantDigits) {
    EXPECT_EQ(format_number(0.1), "0.1");
    EXPECT_EQ(format_number(1.0 / 3.0), "0.333333333333333");
    EXPECT_EQ(format_number(2.0 / 3.0), "0.666666666666667");
    EXPECT_EQ(format_number(123456789012345.0), "123456789012345");
    EXPECT_EQ(format_number(1234567890123456.0), "1.23456789012346e+15");
    EXPECT_EQ(format_number(1e-7), "1e-07");
    EXPECT_EQ(format_number(-2.5), "-2.5");
}

TEST(FormatNumbers, WhatIsShownParsesBack) {
    for (double v : {1.0, 255.0, 0.001, -3.75, 1e20, 6.02214076e23, 123.456}) {
        double back = 0.0;
        ASSERT_TRUE(parse_number(format_number(v), back)) << format_number(v);
        EXPECT_EQ(back, v);
    }
    for (int v : {0, 1, -1, 30, 600, std::numeric_limits<int>::max(), std::numeric_limits<int>::min()}) {
        int back = 99;
        ASSERT_TRUE(parse_integer(format_integer(v), back)) << format_integer(v);
        EXPECT_EQ(back, v);
    }
}

}  // namespace
}  // namespace pelvane
