#include "SourceText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orl::video {
namespace {

TEST(SourceText, ClassifiesBySubstringAndLength) {
    struct Case {
        std::string text;
        SourceType expected;
    };
    const std::vector<Case> cases{
        // streams: markers anywhere, checked before the file extensions
        {"rtsp://127.0.0.1/cam", STREAM},
        {"http://127.0.0.1:8080/a.mp4", STREAM},
        {"cam_rtsp_1", STREAM},
        {"xrtpx", STREAM},
        {"rtp_clip.avi", STREAM},
        // files
        {"clip.mp4", VIDEO_FILE},
        {"movie_stream", VIDEO_FILE},  // "mov"
        {"a.avi", VIDEO_FILE},
        {"x.wmv", VIDEO_FILE},
        {"x.flv", VIDEO_FILE},
        {"x.swf", VIDEO_FILE},
        {"x.f4v", VIDEO_FILE},
        {"x.webm", VIDEO_FILE},
        {"/tmp/AVI.MP4", UNKNOWN},  // case-sensitive
        // other long texts
        {"/dev/video0", UNKNOWN},
        {"1000", UNKNOWN},
        {"clip", UNKNOWN},
        // short texts: device numbers
        {"0", DEVICE},
        {"999", DEVICE},
        {"1a", DEVICE},
        {" 7", DEVICE},
        {"+5", DEVICE},
        {"-0", DEVICE},
        {"-5", NUMBER_OUT_OF_RANGE},
        {"-99", NUMBER_OUT_OF_RANGE},
        // short texts that are no number at all
        {"cam", UNKNOWN},
        {"a1", UNKNOWN},
        {"-", UNKNOWN},
        {" ", UNKNOWN},
        {"", UNKNOWN},
        // three characters are too short for a marker to count
        {"avi", UNKNOWN},
        {"rtp", UNKNOWN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classifySource(c.text), c.expected) << "text \"" << c.text << "\"";
    }
}

TEST(SourceText, SplitDropsEmptyFields) {
    using Fields = std::vector<std::string>;
    EXPECT_EQ(splitInitString(";;0;;640;480"), (Fields{"0", "640", "480"}));
    EXPECT_EQ(splitInitString("0;;;640"), (Fields{"0", "640"}));
    EXPECT_EQ(splitInitString(";;;"), Fields{});
    EXPECT_EQ(splitInitString(""), Fields{});
    EXPECT_EQ(splitInitString("clip.mp4"), Fields{"clip.mp4"});
    EXPECT_EQ(splitInitString(" a ; b "), (Fields{" a ", " b "}));  // nothing trimmed
    EXPECT_EQ(splitInitString("a;1;2;3;4;"), (Fields{"a", "1", "2", "3", "4"}));
}

TEST(SourceText, ParsesDecimalLikeStoi) {
    struct Case {
        std::string text;
        bool ok;
        int value;
        std::string error;
    };
    const std::vector<Case> cases{
        {"640", true, 640, ""},
        {"  42", true, 42, ""},
        {"\t-17", true, -17, ""},
        {"+8", true, 8, ""},
        {"12abc", true, 12, ""},
        {"1a", true, 1, ""},
        {"2147483647", true, 2147483647, ""},
        {"-2147483648", true, -2147483647 - 1, ""},
        {"000000000000000000000000000123", true, 123, ""},
        {"abc", false, 0, "invalid stoi argument"},
        {"", false, 0, "invalid stoi argument"},
        {"-", false, 0, "invalid stoi argument"},
        {"+-1", false, 0, "invalid stoi argument"},
        {" x1", false, 0, "invalid stoi argument"},
        {"2147483648", false, 0, "stoi argument out of range"},
        {"-2147483649", false, 0, "stoi argument out of range"},
        {"99999999999999999999999999", false, 0, "stoi argument out of range"},
    };
    for (const Case& c : cases) {
        int value = -777;
        std::string error;
        EXPECT_EQ(parseDecimal(c.text, value, error), c.ok) << "text \"" << c.text << "\"";
        if (c.ok) {
            EXPECT_EQ(value, c.value) << "text \"" << c.text << "\"";
        } else {
            EXPECT_EQ(value, -777) << "value touched for \"" << c.text << "\"";
            EXPECT_EQ(error, c.error) << "text \"" << c.text << "\"";
        }
    }
}

}  // namespace
}  // namespace orl::video
