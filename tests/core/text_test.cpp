// Hex text forms, the address printers and the time prefix.
#include <cstring>
#include <regex>

#include <gtest/gtest.h>

#include "core/text.h"
#include "osl.h"
#include "support/capture.h"

using osl::test::StdoutCapture;

namespace {

struct DigitCase {
    unsigned char in;
    int result;
    char value; // in place after a match; the input itself after a refusal
};

TEST(HexDigit, ConvertsDigitsOfBothCasesAndRefusesEverythingElse) {
    const DigitCase cases[] = {
        {'0', 0, 0},
        {'9', 0, 9},
        {'A', 0, 10},
        {'F', 0, 15},
        {'a', 0, 10},
        {'f', 0, 15},
        {'/', 1, '/'},
        {':', 1, ':'},
        {'@', 1, '@'},
        {'G', 1, 'G'},
        {'`', 1, '`'},
        {'g', 1, 'g'},
        {' ', 1, ' '},
        {0, 1, 0},
        {0x80, 1, static_cast<char>(0x80)},
        {0xB0, 1, static_cast<char>(0xB0)},
        {0xFF, 1, static_cast<char>(0xFF)},
    };
    for (const auto &c : cases) {
        char ch = static_cast<char>(c.in);
        EXPECT_EQ(osl_hex_digit(&ch), c.result) << "byte 0x" << std::hex << int(c.in);
        EXPECT_EQ(ch, c.value) << "byte 0x" << std::hex << int(c.in);
    }
}

struct BytesCase {
    const char *text;
    int count;
    int result;
    std::vector<uint8_t> out; // the 6 output bytes afterwards, starting from all 0xEE
};

TEST(HexToBytes, ConvertsPairsAndStopsAtTheFirstBadCharacter) {
    const std::vector<uint8_t> addr = {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0x68};
    const BytesCase cases[] = {
        {"CBFD786BAA68", 6, 0, addr},
        {"cbfd786baa68", 6, 0, addr},
        {"CbFd786bAa68", 6, 0, addr},
        {"CBFD786BAA68FF", 6, 0, addr}, // characters after the twelfth are not looked at
        {"CBFD786BAA68:", 6, 0, addr},
        // Eleven digits: five bytes written, the sixth untouched.
        {"CBFD786BAA6", 6, 2, {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0xEE}},
        {"CB:FD:78:6B:AA:68", 6, 2, {0xCB, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {"CBFD786BAA 68", 6, 2, {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0xEE}},
        {"", 6, 2, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {"CBFD786BAA68", 0, 0, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {"CBFD786BAA68", -3, 0, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {"CBFD786BAA68", 3, 0, {0xCB, 0xFD, 0x78, 0xEE, 0xEE, 0xEE}},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> out(6, 0xEE);
        EXPECT_EQ(osl_hex_to_bytes(c.text, out.data(), c.count), c.result) << c.text;
        EXPECT_EQ(out, c.out) << c.text;
    }
}

TEST(HexToBytes, KeyOfThirtyOneDigitsFailsAtItsEnd) {
    uint8_t key[17];
    memset(key, 0xEE, sizeof key);
    EXPECT_EQ(osl_hex_to_bytes("00112233445566778899AABBCCDDEEF", key, 16), 2);
    EXPECT_EQ(key[14], 0xEE); // the 15th pair is incomplete
    EXPECT_EQ(osl_hex_to_bytes("00112233445566778899AABBCCDDEEFF", key, 16), 0);
    EXPECT_EQ(key[15], 0xFF);
    EXPECT_EQ(key[16], 0xEE); // nothing past the count
}

TEST(HexToBytes, ReadsNothingPastTheTerminator) {
    // A one-character text in a buffer that ends right after its terminator:
    // AddressSanitizer would catch a read of the byte beyond.
    char *text = new char[2]{'C', '\0'};
    uint8_t out[6] = {};
    EXPECT_EQ(osl_hex_to_bytes(text, out, 6), 2);
    delete[] text;
}

struct AddrCase {
    unsigned flags;
    const char *forward;
    const char *reversed;
};

TEST(PrintAddr, PrintsUpperCaseDigitsWithOptionalPrefixAndLineEnd) {
    const uint8_t bytes[6] = {0x68, 0xAA, 0x6B, 0x78, 0xFD, 0x0B};
    const AddrCase cases[] = {
        {0, "68AA6B78FD0B", "0BFD786BAA68"},
        {OSL_ADDR_0X, "0x68AA6B78FD0B", "0x0BFD786BAA68"},
        {OSL_ADDR_NEWLINE, "68AA6B78FD0B\n\r", "0BFD786BAA68\n\r"},
        {OSL_ADDR_0X | OSL_ADDR_NEWLINE, "0x68AA6B78FD0B\n\r", "0x0BFD786BAA68\n\r"},
        {0xF0, "68AA6B78FD0B", "0BFD786BAA68"}, // other bits mean nothing
    };
    for (const auto &c : cases) {
        StdoutCapture out;
        osl_print_addr(bytes, c.flags);
        EXPECT_EQ(out.take(), c.forward);
        osl_print_addr_rev(bytes, c.flags);
        EXPECT_EQ(out.take(), c.reversed);
    }
}

struct PrefixCase {
    const char *format;
    const char *pattern;
};

TEST(TimePrefix, PrintsTheFormattedLocalTimeAndOneSpace) {
    const std::string long_format(60, 'x');
    const PrefixCase cases[] = {
        {OSL_LOG_TIME_FORMAT, "^[0-2][0-9]:[0-5][0-9]:[0-6][0-9] $"},
        {"%T ", "^[0-2][0-9]:[0-5][0-9]:[0-6][0-9]  $"}, // the format's space and the prefix's
        {"", "^ $"},
        // Too long for the 50-byte stamp: only the space, never stale buffer bytes.
        {long_format.c_str(), "^ $"},
    };
    for (const auto &c : cases) {
        StdoutCapture out;
        int n = osl_print_time_prefix(c.format);
        std::string text = out.stop();
        EXPECT_TRUE(std::regex_match(text, std::regex(c.pattern))) << "[" << text << "]";
        EXPECT_EQ(n, static_cast<int>(text.size()));
    }
    StdoutCapture out;
    EXPECT_EQ(osl_print_local_time("%T "), 10);
    EXPECT_EQ(out.stop().size(), 10u);
}

} // namespace
