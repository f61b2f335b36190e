#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/base64.h"
#include "support/log_capture.h"

namespace {

struct vector_t {
    std::string bytes;
    std::string text;
};

// RFC 4648 section 10, and bytes that use the last letters of the alphabet.
const vector_t vectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {std::string("\0\xff\xfe\x00\x01", 5), "AP/+AAE="},
    {"\xfb\xef\xbe", "++++"},
};

}   // namespace

TEST(Base64, EncodesTheStandardVectorsWithBothForms)
{
    for (const auto& v : vectors) {
        std::string out = "stale";
        EXPECT_EQ(Base64Encode(out, v.bytes.data(), v.bytes.size()), 0);
        EXPECT_EQ(out, v.text);
        EXPECT_EQ(Base64Encode(v.bytes.data(), v.bytes.size()), v.text);
    }
}

TEST(Base64, KeyAndTokenLengthsHaveNoLineBreaks)
{
    // SRTP keys are 30 bytes, random tokens 18; long input must not wrap either.
    const struct {
        size_t bytes;
        size_t chars;
    } cases[] = {{18, 24}, {30, 40}, {300, 400}};
    for (const auto& c : cases) {
        std::string in(c.bytes, '\x5a');
        std::string text = Base64Encode(in.data(), in.size());
        EXPECT_EQ(text.size(), c.chars);
        EXPECT_EQ(text.find('\n'), std::string::npos);
    }
}

TEST(Base64, DecodesTheVectorsIntoTerminatedBuffers)
{
    for (const auto& v : vectors) {
        unsigned char* out = nullptr;
        int len = -1;
        ASSERT_EQ(Base64Decode(v.text, &out, &len), 0) << v.text;
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size_t(len)), v.bytes);
        EXPECT_EQ(out[len], 0);
        free(out);
    }
}

TEST(Base64, LengthMismatchOrBadTextFails)
{
    const struct {
        const char* text;
        const char* log;
    } cases[] = {
        // 8 characters promise 6 bytes, or 4 with "==".
        {"Zm9vYg=A", "Base64Decode(): decoded=-1, expected=6"},
        {"Zm9v====", "Base64Decode(): decoded=-1, expected=4"},
        // line breaks are not part of the text: 12 characters promise 9
        {"Zm9v\nYmFy\n\n\n", "Base64Decode(): decoded=6, expected=9"},
        {"Zm9vYmE", "Base64Decode(): decoded=-1, expected=5"},
        // the bytes before the bad character have the promised length
        {"Zm9v!", "Base64Decode(): decoded=-1, expected=3"},
        {"=", "Base64Decode(): decoded=-1, expected=0"},
    };
    for (const auto& c : cases) {
        LogCapture cap;
        unsigned char* out = reinterpret_cast<unsigned char*>(1);
        int len = -7;
        EXPECT_EQ(Base64Decode(c.text, &out, &len), -1) << c.text;
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(len, -7);
        EXPECT_TRUE(cap.contains(c.log)) << c.text << ": " << (cap.all().empty() ? "" : cap.all()[0]);
    }
}
