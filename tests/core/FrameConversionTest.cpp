#include "core/FrameConversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

namespace stemora {
namespace {

struct ConversionCase {
    const char* Name;
    int BytesPerSample;
    int Channels;
    std::vector<std::uint8_t> Frame;
    float Expected;
};

// Keeps the generated test names free of object dumps (which hold addresses).
void PrintTo(const ConversionCase& c, std::ostream* os) {
    *os << c.Name;
}

class FrameConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(FrameConversion, GivesTheFrameValue) {
    const ConversionCase& c = GetParam();
    FrameConverter convert = FrameConverterFor(c.BytesPerSample, c.Channels);
    ASSERT_NE(convert, nullptr);
    // Two copies of the frame: the second must land in out[1] (frame stride).
    std::vector<std::uint8_t> bytes = c.Frame;
    bytes.insert(bytes.end(), c.Frame.begin(), c.Frame.end());
    float out[3] = {0.0f, 0.0f, 12345.0f};
    convert(bytes.data(), 2, out);
    EXPECT_EQ(out[0], c.Expected);
    EXPECT_EQ(out[1], c.Expected);
    EXPECT_EQ(out[2], 12345.0f) << "wrote past the frame count";
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameConversion,
    ::testing::Values(
        ConversionCase{"Pcm16MinusOne", 2, 1, {0xFF, 0xFF}, -1.0f},
        ConversionCase{"Pcm16Lowest", 2, 1, {0x00, 0x80}, -32768.0f},
        ConversionCase{"Pcm16Highest", 2, 1, {0xFF, 0x7F}, 32767.0f},
        ConversionCase{"Pcm24MinusOne", 3, 1, {0xFF, 0xFF, 0xFF}, -1.0f},
        ConversionCase{"Pcm24Lowest", 3, 1, {0x00, 0x00, 0x80}, -8388608.0f},
        ConversionCase{"Pcm24LittleEndian", 3, 1, {0x01, 0x02, 0x03}, 197121.0f},
        ConversionCase{"Pcm32Lowest", 4, 1, {0x00, 0x00, 0x00, 0x80}, -2147483648.0f},
        // 2^24 + 1 is halfway between two floats: ties go to even (2^24).
        ConversionCase{"Pcm32TieToEven", 4, 1, {0x01, 0x00, 0x00, 0x01}, 16777216.0f},
        ConversionCase{"Pcm32RoundsUp", 4, 1, {0x03, 0x00, 0x00, 0x01}, 16777220.0f},
        ConversionCase{"Pcm8Silence", 1, 1, {0x80}, 0.5f},
        ConversionCase{"Pcm8Lowest", 1, 1, {0x00}, -127.5f},
        ConversionCase{"Pcm16StereoSum", 2, 2, {0x00, 0x80, 0xFF, 0x7F}, -1.0f},
        ConversionCase{"Pcm8StereoSilence", 1, 2, {0x80, 0x80}, 1.0f},
        ConversionCase{"Pcm24StereoSum", 3, 2, {0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x7F}, 16777214.0f},
        // Channel 0 (2^24 + 1) is stored as float first (2^24), then 1 is added: 2^24 + 1
        // rounds to 2^24 again. Summing the integers first would give 2^24 + 2.
        ConversionCase{"Pcm32StereoRoundsChannelZeroFirst",
                       4,
                       2,
                       {0x01, 0, 0, 0x01, 0x01, 0, 0, 0},
                       16777216.0f},
        ConversionCase{"Pcm32StereoExtremes",
                       4,
                       2,
                       {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F},
                       4294967296.0f}),
    [](const ::testing::TestParamInfo<ConversionCase>& info) { return info.param.Name; });

TEST(FrameConversion, RefusesLayoutsItCannotConvert) {
    EXPECT_EQ(FrameConverterFor(0, 1), nullptr);
    EXPECT_EQ(FrameConverterFor(5, 2), nullptr);
    EXPECT_EQ(FrameConverterFor(2, 3), nullptr);
    EXPECT_EQ(FrameConverterFor(2, 0), nullptr);
}

}  // namespace
}  // namespace stemora
