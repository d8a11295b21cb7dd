#include "core/uGamma.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace stemora {
namespace {

struct Rgb {
    int R, G, B;
    bool operator==(const Rgb&) const = default;
};

void PrintTo(const Rgb& c, std::ostream* os) {
    *os << "(" << c.R << ", " << c.G << ", " << c.B << ")";
}

Rgb gamma(float level) {
    uint8_t r = 1, g = 2, b = 3;
    GammaRGB(level, r, g, b);
    return {r, g, b};
}

struct GammaCase {
    float Level;
    Rgb Colour;
};

class GammaScale : public ::testing::TestWithParam<GammaCase> {};

TEST_P(GammaScale, GivesTheListedColour) {
    const GammaCase& c = GetParam();
    EXPECT_EQ(gamma(c.Level), c.Colour) << "level " << c.Level;
}

// The six anchors, the five midpoints (exactly 127.5, rounded to even 128), the clamp and
// the fractions just below an anchor that keep the lower segment.
INSTANTIATE_TEST_SUITE_P(
    Anchors, GammaScale,
    ::testing::Values(GammaCase{0.0f, {0, 0, 0}}, GammaCase{13000.0f, {0, 0, 255}},
                      GammaCase{60000.0f, {0, 255, 255}}, GammaCase{80000.0f, {0, 255, 0}},
                      GammaCase{100000.0f, {255, 255, 0}}, GammaCase{500000.0f, {255, 0, 0}},
                      GammaCase{5000000.0f, {255, 0, 0}}, GammaCase{10000000.0f, {255, 0, 0}},
                      GammaCase{6500.0f, {0, 0, 128}}, GammaCase{36500.0f, {0, 128, 255}},
                      GammaCase{70000.0f, {0, 255, 128}}, GammaCase{90000.0f, {128, 255, 0}},
                      GammaCase{300000.0f, {255, 128, 0}}, GammaCase{12999.7f, {0, 0, 255}},
                      GammaCase{1e-15f, {0, 0, 0}}, GammaCase{26.0f, {0, 0, 1}},
                      GammaCase{25.0f, {0, 0, 0}}, GammaCase{499999.0f, {255, 0, 0}},
                      GammaCase{400000.0f, {255, 64, 0}}));

INSTANTIATE_TEST_SUITE_P(Negative, GammaScale,
                         ::testing::Values(GammaCase{-0.0f, {0, 0, 0}}, GammaCase{-0.5f, {0, 0, 0}},
                                           GammaCase{-0.999f, {0, 0, 0}},
                                           GammaCase{-1.0f, {0, 0, 0}},
                                           GammaCase{-12345.0f, {0, 0, 0}},
                                           GammaCase{-3e9f, {0, 0, 0}},
                                           GammaCase{-3.4e38f, {0, 0, 0}}));

// Values that must never reach an integer conversion: NaN and -inf give black, +inf is
// clamped like any other level above 5000000. Run under UBSan as well.
TEST(GammaNonFinite, NaNAndInfinities) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(gamma(std::numeric_limits<float>::quiet_NaN()), (Rgb{0, 0, 0}));
    EXPECT_EQ(gamma(-std::numeric_limits<float>::quiet_NaN()), (Rgb{0, 0, 0}));
    EXPECT_EQ(gamma(-inf), (Rgb{0, 0, 0}));
    EXPECT_EQ(gamma(inf), (Rgb{255, 0, 0}));
    EXPECT_EQ(gamma(3e9f), (Rgb{255, 0, 0}));
    EXPECT_EQ(gamma(std::numeric_limits<float>::max()), (Rgb{255, 0, 0}));
}

// Exactly one channel moves between neighbouring anchors, and it moves monotonically.
TEST(GammaScaleShape, OneChannelMovesMonotonicallyPerSegment) {
    const float anchors[] = {0, 13000, 60000, 80000, 100000, 500000};
    for (int s = 0; s + 1 < 6; ++s) {
        Rgb previous = gamma(anchors[s]);
        int moving = -1;
        for (int step = 1; step <= 200; ++step) {
            const float level = anchors[s] + (anchors[s + 1] - anchors[s]) * step / 200.0f;
            const Rgb now = gamma(level);
            const int deltas[] = {now.R - previous.R, now.G - previous.G, now.B - previous.B};
            for (int ch = 0; ch < 3; ++ch) {
                if (deltas[ch] != 0) {
                    if (moving < 0) {
                        moving = ch;
                    }
                    EXPECT_EQ(ch, moving) << "segment " << s << " level " << level;
                    EXPECT_LE(std::abs(deltas[ch]), 2) << "segment " << s << " level " << level;
                }
            }
            previous = now;
        }
        EXPECT_GE(moving, 0) << "segment " << s;
    }
}

TEST(GammaPack, PacksRedInTheLowestByte) {
    EXPECT_EQ(PackColour(0, 0, 255), 16711680u);
    EXPECT_EQ(PackColour(255, 0, 0), 255u);
    EXPECT_EQ(PackColour(255, 255, 0), 65535u);
    EXPECT_EQ(PackColour(1, 2, 3), 1u + 512u + 196608u);
}

}  // namespace
}  // namespace stemora
