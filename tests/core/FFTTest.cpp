#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/uFFTasm.h"
#include "core/uFFTasmInternal.h"
#include "support/ReferenceDft.h"

namespace stemora {
namespace {

using Complex = std::complex<float>;
using LComplex = std::complex<long double>;
using fft::KernelPath;

using test::DirectDft;
using test::kPi;
using test::RandomSignal;
using test::ReferenceFft;
using test::RelativeError;

double errorBound(int32_t n) {
    return 2e-7 * (std::log2(static_cast<double>(n)) + 1.0);
}

// Slot order of the forward kernels built from its recursive description, independently of the
// engine: the first half holds the half-size order doubled, then 4j+1 and 4j-1 over the quarter.
std::vector<int32_t> recursiveSlotOrder(int32_t n) {
    if (n <= 2) {
        return n == 2 ? std::vector<int32_t>{0, 1} : std::vector<int32_t>{0};
    }
    std::vector<int32_t> order;
    for (int32_t b : recursiveSlotOrder(n / 2)) {
        order.push_back(2 * b);
    }
    const std::vector<int32_t> quarter = recursiveSlotOrder(n / 4);
    for (int32_t j : quarter) {
        order.push_back((4 * j + 1) % n);
    }
    for (int32_t j : quarter) {
        order.push_back((4 * j - 1 + n) % n);
    }
    return order;
}

bool sameBits(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), [](Complex x, Complex y) {
        return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
    });
}

const std::vector<int32_t>& allSizes() {
    static const std::vector<int32_t> sizes = [] {
        std::vector<int32_t> s;
        for (int p = 1; p <= 16; ++p) {
            s.push_back(int32_t{1} << p);
        }
        return s;
    }();
    return sizes;
}

// ---------------------------------------------------------------- tables

TEST(FFTTables, PermutationIsInverseOfRecursiveSlotOrderForEverySize) {
    for (int p = 1; p <= 16; ++p) {
        const int32_t n = int32_t{1} << p;
        const std::vector<int32_t> order = recursiveSlotOrder(n);
        const uint16_t* perm = fft::PermTable(p);
        for (int32_t slot = 0; slot < n; ++slot) {
            ASSERT_EQ(perm[order[static_cast<std::size_t>(slot)]], slot) << "N=" << n;
        }
    }
    const uint16_t* p8 = fft::PermTable(3);
    EXPECT_EQ(std::vector<int>(p8, p8 + 8), (std::vector<int>{0, 4, 2, 7, 1, 5, 3, 6}));
    const uint16_t* p16 = fft::PermTable(4);
    EXPECT_EQ(std::vector<int>(p16, p16 + 16),
              (std::vector<int>{0, 8, 4, 14, 2, 10, 7, 13, 1, 9, 5, 15, 3, 11, 6, 12}));
}

TEST(FFTTables, StartIndicesAreAThirdRoundedUp) {
    const int32_t expected[] = {2,   3,   6,    11,   22,   43,    86,   171,
                                342, 683, 1366, 2731, 5462, 10923, 21846};
    for (int p = 2; p <= 16; ++p) {
        EXPECT_EQ(fft::PermStartIndex(p), expected[p - 2]) << "M=" << (1 << p);
        EXPECT_EQ(fft::PermStartIndex(p), ((1 << p) + 2) / 3);
    }
}

TEST(FFTTables, TwiddlesHoldTheFirstQuarterOrEighthRoundedToFloat) {
    const int32_t counts[] = {7, 15, 31, 63, 127, 127, 255, 511, 1023, 2047, 4095, 8191};
    for (int p = 5; p <= 16; ++p) {
        const int32_t n = int32_t{1} << p;
        ASSERT_EQ(fft::TwiddleCount(p), counts[p - 5]);
        const float* t = fft::TwiddleTable(p);
        for (int32_t k = 1; k <= counts[p - 5]; ++k) {
            const long double theta = 2.0L * kPi * k / n;
            // Correctly rounded: within half an ulp of the exact value.
            EXPECT_LE(
                std::abs(t[2 * (k - 1)] - std::cos(theta)),
                0.5L * std::abs(std::nextafter(t[2 * (k - 1)], 0.0f) - t[2 * (k - 1)]) * 1.0001L)
                << "N=" << n << " k=" << k;
            EXPECT_LE(std::abs(t[2 * (k - 1) + 1] - std::sin(theta)),
                      0.5L *
                          std::abs(std::nextafter(t[2 * (k - 1) + 1], 0.0f) - t[2 * (k - 1) + 1]) *
                          1.0001L)
                << "N=" << n << " k=" << k;
        }
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(fft::kSqrtHalf), 0x3F3504F3u);
    EXPECT_EQ(std::bit_cast<uint32_t>(fft::kCosPi8), 0x3F6C835Eu);
    EXPECT_EQ(std::bit_cast<uint32_t>(fft::kSinPi8), 0x3EC3EF15u);
}

// Every scheduled leaf must take exactly the block and the bins that the recursion gives it: slot
// a + j of the scrambled output holds bin order[a + j], and a leaf of 2^L values says that this
// is (c + (N >> L) * order_L[j]) mod N (plus d for block d of a neighbour pair or quad). So the
// blocks tile the array and the bins cover every bin once. Neighbouring bins go together wherever
// the recursion allows: at the tuner's size at least 15/16 of them in quads, and no more than 64
// bins alone at any size.
TEST(FFTTables, LeafSchedulesTileTheArrayWithTheRecursionsBins) {
    int scheduled = 0;
    for (int p = 1; p <= 16; ++p) {
        const fft::LeafSchedule schedule = fft::ScheduleFor(p);
        if (schedule.Count == 0) {
            continue;
        }
        ++scheduled;
        const int32_t n = int32_t{1} << p;
        const std::vector<int32_t> order = recursiveSlotOrder(n);
        std::vector<int> slotUses(static_cast<std::size_t>(n), 0);
        const auto checkBlock = [&](uint32_t start, uint32_t c, int log2) {
            const std::vector<int32_t> leafOrder = recursiveSlotOrder(int32_t{1} << log2);
            const uint32_t stride = static_cast<uint32_t>(n) >> log2;
            for (uint32_t j = 0; j < leafOrder.size(); ++j) {
                const uint32_t slot = start + j;
                ASSERT_LT(slot, static_cast<uint32_t>(n)) << "N=" << n;
                ++slotUses[slot];
                const uint32_t bin = (c + stride * static_cast<uint32_t>(leafOrder[j])) &
                                     static_cast<uint32_t>(n - 1);
                ASSERT_EQ(bin, static_cast<uint32_t>(order[slot])) << "N=" << n << " slot " << slot;
            }
        };
        int32_t inQuads = 0;
        int32_t alone = 0;
        for (int32_t i = 0; i < schedule.Count; ++i) {
            const fft::LeafTask& t = schedule.Tasks[i];
            ASSERT_GE(t.Log2, 4);
            ASSERT_LE(t.Log2, 5);
            checkBlock(t.At[0], t.C, t.Log2);
            switch (t.Kind) {
                case fft::LeafTask::NeighbourQuad:
                    ASSERT_EQ(t.C % 4, 0u) << "N=" << n;
                    for (uint32_t d = 1; d < 4; ++d) {
                        checkBlock(t.At[d], t.C + d, t.Log2);
                    }
                    inQuads += 4 << t.Log2;
                    break;
                case fft::LeafTask::NeighbourPair:
                    ASSERT_EQ(t.C % 2, 0u) << "N=" << n;
                    checkBlock(t.At[1], t.C + 1, t.Log2);
                    break;
                case fft::LeafTask::UnrelatedPair:
                    checkBlock(t.At[1], t.CB, t.Log2);
                    alone += 2 << t.Log2;
                    break;
                case fft::LeafTask::Single:
                    alone += 1 << t.Log2;
                    break;
            }
        }
        EXPECT_EQ(std::count(slotUses.begin(), slotUses.end(), 1), n) << "N=" << n;
        EXPECT_LE(alone, 64) << "N=" << n;  // a few leaves at most, whatever the size
        if (p == 12) {
            EXPECT_GE(inQuads, n / 16 * 15);
        }
    }
    // The tuner's size runs from a schedule on any L1d geometry the engine accepts.
    EXPECT_GT(fft::ScheduleFor(12).Count, 0);
    EXPECT_GT(scheduled, 0);
}

// ---------------------------------------------------------------- transforms, on every path

// Makes the engine's own scratch current again after a test supplied Work.
void useOwnScratch() {
    Complex dummy[2] = {};
    ComplexFFT(dummy, 2, false, false, true, fft::OwnScratch());
}

class FFTPath : public ::testing::TestWithParam<KernelPath> {
  protected:
    void SetUp() override {
        fft::EnsureInitialised();
        previous_ = fft::ActivePath();
        if (!fft::SelectPath(GetParam())) {
            GTEST_SKIP() << "this CPU lacks the path";
        }
        useOwnScratch();
    }
    void TearDown() override {
        fft::UseLeafSchedules(true);
        fft::SelectPath(previous_);
    }

  private:
    KernelPath previous_ = KernelPath::Scalar;
};

TEST_P(FFTPath, TwoPointsBothDirections) {
    for (bool inverse : {false, true}) {
        for (bool reorder : {false, true}) {
            std::vector<Complex> x = {{1.5f, -2.0f}, {0.25f, 4.0f}};
            ComplexFFT(x.data(), 2, inverse, false, reorder);
            EXPECT_EQ(x[0], Complex(1.75f, 2.0f));
            EXPECT_EQ(x[1], Complex(1.25f, -6.0f));
        }
    }
}

TEST_P(FFTPath, FourPointsShowThePositiveExponentAndTheSlotOrder) {
    std::vector<Complex> x = {0, 1, 0, 0};
    ComplexFFT(x.data(), 4, false, false, true);
    EXPECT_EQ(x, (std::vector<Complex>{{1, 0}, {0, 1}, {-1, 0}, {0, -1}}));
    x = {0, 1, 0, 0};
    ComplexFFT(x.data(), 4, false, false, false);
    EXPECT_EQ(x, (std::vector<Complex>{{1, 0}, {-1, 0}, {0, 1}, {0, -1}}));
}

TEST_P(FFTPath, EightPointSlotsHoldBinsNotInBitReversedOrder) {
    const std::vector<Complex> x = RandomSignal(8, 8);
    const std::vector<LComplex> want = DirectDft(x, +1);
    std::vector<Complex> slots = x;
    ComplexFFT(slots.data(), 8, false, false, false);
    const int bins[] = {0, 4, 2, 6, 1, 5, 7, 3};
    for (int s = 0; s < 8; ++s) {
        EXPECT_LT(std::abs(LComplex(slots[s].real(), slots[s].imag()) - want[bins[s]]), 1e-5L)
            << "slot " << s;
    }
}

void expectNaturalIsPermutedScrambled() {
    for (int32_t n : allSizes()) {
        const std::vector<int32_t> order = recursiveSlotOrder(n);
        const std::vector<Complex> x = RandomSignal(n, 7);
        std::vector<Complex> natural = x;
        std::vector<Complex> scrambled = x;
        ComplexFFT(natural.data(), n, false, false, true);
        ComplexFFT(scrambled.data(), n, false, false, false);
        for (int32_t s = 0; s < n; ++s) {
            ASSERT_EQ(std::bit_cast<uint64_t>(scrambled[s]),
                      std::bit_cast<uint64_t>(natural[order[s]]))
                << "forward N=" << n << " slot " << s;
        }
        // Inverse: natural-order input against the same values placed in slot order.
        std::vector<Complex> fromNatural = x;
        std::vector<Complex> fromSlots(static_cast<std::size_t>(n));
        for (int32_t s = 0; s < n; ++s) {
            fromSlots[s] = x[order[s]];
        }
        ComplexFFT(fromNatural.data(), n, true, false, true);
        ComplexFFT(fromSlots.data(), n, true, false, false);
        ASSERT_TRUE(sameBits(fromNatural, fromSlots)) << "inverse N=" << n;
    }
}

// The natural-order kernels fold the permutation into their leaves; they must compute exactly
// what the in-place kernels do, value for value, in both directions, whether the leaves run from
// a schedule after the passes or between them.
TEST_P(FFTPath, NaturalOrderIsTheScrambledOrderPermutedBitForBit) {
    for (bool scheduled : {true, false}) {
        SCOPED_TRACE(scheduled ? "leaf schedules" : "leaves between the passes");
        fft::UseLeafSchedules(scheduled);
        expectNaturalIsPermutedScrambled();
    }
}

// Every size, direction, Scale and Reorder on a fixed signal, hashed (FNV-1a over the bytes): the
// engine's results are part of its contract, so rescheduling its work must leave every bit as it
// was. The vector paths share their arithmetic (fused multiply-adds), the scalar one has none.
TEST_P(FFTPath, ResultsKeepTheirBits) {
    uint64_t hash = 0xcbf29ce484222325u;
    for (int p = 1; p <= 16; ++p) {
        const int32_t n = int32_t{1} << p;
        for (int mode = 0; mode < 8; ++mode) {
            std::vector<Complex> x(static_cast<std::size_t>(n));
            uint32_t state = 12345u + static_cast<uint32_t>(n + mode);
            const auto next = [&state] {
                state = state * 1664525u + 1013904223u;
                return static_cast<float>(state >> 8) * (1.0f / 16777216.0f) - 0.5f;
            };
            for (Complex& v : x) {
                const float re = next();
                v = Complex(re, next());
            }
            ComplexFFT(x.data(), n, (mode & 1) != 0, (mode & 2) != 0, (mode & 4) != 0);
            for (const Complex& v : x) {
                const uint64_t bits = std::bit_cast<uint64_t>(v);
                for (int byte = 0; byte < 8; ++byte) {
                    hash = (hash ^ ((bits >> (8 * byte)) & 0xFFu)) * 0x100000001b3u;
                }
            }
        }
    }
    EXPECT_EQ(hash, GetParam() == KernelPath::Scalar ? 0xd023ae3a3b0ef4abu : 0x1c81d09d0f4abf04u);
}

TEST_P(FFTPath, ForwardMatchesExtendedPrecisionDft) {
    for (int32_t n : allSizes()) {
        const std::vector<Complex> x = RandomSignal(n, static_cast<uint32_t>(n));
        std::vector<LComplex> want;
        if (n <= 4096) {
            want = DirectDft(x, +1);
        } else {
            want.assign(x.begin(), x.end());
            ReferenceFft(want, +1);
        }
        std::vector<Complex> got = x;
        ComplexFFT(got.data(), n, false, true, true);
        EXPECT_LE(RelativeError(got, want), errorBound(n)) << "N=" << n;
    }
}

TEST_P(FFTPath, InverseMatchesExtendedPrecisionDft) {
    for (int32_t n : allSizes()) {
        const std::vector<Complex> x = RandomSignal(n, static_cast<uint32_t>(3 * n));
        std::vector<LComplex> want;
        if (n <= 2048) {
            want = DirectDft(x, -1);
        } else {
            want.assign(x.begin(), x.end());
            ReferenceFft(want, -1);
        }
        std::vector<Complex> got = x;
        ComplexFFT(got.data(), n, true, false, true);
        EXPECT_LE(RelativeError(got, want), errorBound(n)) << "N=" << n;
    }
}

TEST_P(FFTPath, AllOnesGiveNInBinZeroOnly) {
    for (int32_t n : allSizes()) {
        std::vector<Complex> x(static_cast<std::size_t>(n), Complex(1.0f, 0.0f));
        ComplexFFT(x.data(), n, false, false, true);
        EXPECT_EQ(x[0], Complex(static_cast<float>(n), 0.0f)) << "N=" << n;
        for (int32_t k = 1; k < n; ++k) {
            ASSERT_EQ(x[k], Complex(0.0f, 0.0f)) << "N=" << n << " bin " << k;
        }
    }
}

TEST_P(FFTPath, RealInputGivesConjugatePairs) {
    for (int32_t n : allSizes()) {
        std::vector<Complex> x = RandomSignal(n, 11);
        for (auto& v : x) {
            v.imag(0.0f);
        }
        ComplexFFT(x.data(), n, false, false, true);
        float maxMag = 0;
        for (const auto& v : x) {
            maxMag = std::max(maxMag, std::abs(v));
        }
        EXPECT_EQ(x[0].imag(), 0.0f);
        for (int32_t k = 1; k < n; ++k) {
            ASSERT_LE(std::abs(x[k] - std::conj(x[n - k])), errorBound(n) * maxMag)
                << "N=" << n << " bin " << k;
        }
    }
}

TEST_P(FFTPath, ForwardIgnoresScale) {
    for (int32_t n : allSizes()) {
        for (bool reorder : {false, true}) {
            std::vector<Complex> a = RandomSignal(n, 5);
            std::vector<Complex> b = a;
            ComplexFFT(a.data(), n, false, false, reorder);
            ComplexFFT(b.data(), n, false, true, reorder);
            ASSERT_TRUE(sameBits(a, b)) << "N=" << n;
        }
    }
}

TEST_P(FFTPath, RoundTripsReturnTheInput) {
    for (int32_t n : allSizes()) {
        const std::vector<Complex> x = RandomSignal(n, 13);
        const double tol = 4 * errorBound(n);  // input within [-1, 1], two transforms
        struct Case {
            bool Reorder, Scale;
        };
        for (const Case c :
             {Case{true, true}, Case{true, false}, Case{false, true}, Case{false, false}}) {
            std::vector<Complex> y = x;
            ComplexFFT(y.data(), n, false, false, c.Reorder);
            ComplexFFT(y.data(), n, true, c.Scale, c.Reorder);
            const float factor = c.Scale ? 1.0f : static_cast<float>(n);
            double maxErr = 0;
            for (int32_t i = 0; i < n; ++i) {
                maxErr =
                    std::max(maxErr, static_cast<double>(std::abs(y[i] - factor * x[i])) / factor);
            }
            EXPECT_LE(maxErr, tol) << "N=" << n << " reorder " << c.Reorder << " scale " << c.Scale;
        }
    }
}

TEST_P(FFTPath, LargestSizeUsesTheWholeScratch) {
    const int32_t n = 65536;
    // Two tones, one of them at the last bin, so every slot of the scratch matters.
    std::vector<Complex> x(n);
    for (int32_t j = 0; j < n; ++j) {
        const long double t1 = -2.0L * kPi * 1000.0L * j / n;
        const long double t2 = -2.0L * kPi * 65535.0L * j / n;
        x[j] = Complex(static_cast<float>(std::cos(t1) + 0.5L * std::cos(t2)),
                       static_cast<float>(std::sin(t1) + 0.5L * std::sin(t2)));
    }
    ComplexFFT(x.data(), n, false, false, true);
    EXPECT_NEAR(x[1000].real(), n, n * 1e-5);
    EXPECT_NEAR(x[65535].real(), n / 2.0, n * 1e-5);
    float otherMax = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (k != 1000 && k != 65535) {
            otherMax = std::max(otherMax, std::abs(x[k]));
        }
    }
    EXPECT_LT(otherMax, n * 1e-5);
}

// Large transforms through the engine's own scratch take a padded layout that a caller's Work of
// exactly N values cannot hold; both must give the same bits, in both directions.
TEST_P(FFTPath, CallerWorkOfExactlyNValuesGivesTheSameBits) {
    for (int32_t n : {64, 4096, 8192, 16384, 65536}) {
        const std::vector<Complex> x = RandomSignal(n, 37);
        std::vector<Complex> work(static_cast<std::size_t>(n));
        for (bool inverse : {false, true}) {
            std::vector<Complex> viaOwn = x;
            std::vector<Complex> viaWork = x;
            useOwnScratch();
            ComplexFFT(viaOwn.data(), n, inverse, true, true);
            ComplexFFT(viaWork.data(), n, inverse, true, true, work.data());
            EXPECT_TRUE(sameBits(viaOwn, viaWork)) << "N=" << n << " inverse " << inverse;
        }
    }
    useOwnScratch();
}

// A natural-order transform must read only scratch values that it wrote itself in the same call:
// a Work full of NaNs from earlier use (or never written) changes no bit, at every size and in
// both directions, with the leaves from a schedule or between the passes.
TEST_P(FFTPath, StaleWorkContentsChangeNothing) {
    for (bool scheduled : {true, false}) {
        fft::UseLeafSchedules(scheduled);
        for (int32_t n : allSizes()) {
            const std::vector<Complex> x = RandomSignal(n, 43);
            std::vector<Complex> work(static_cast<std::size_t>(n));
            for (bool inverse : {false, true}) {
                std::vector<Complex> clean = x;
                std::fill(work.begin(), work.end(), Complex(0.0f, 0.0f));
                ComplexFFT(clean.data(), n, inverse, false, true, work.data());
                std::vector<Complex> stale = x;
                std::fill(work.begin(), work.end(), Complex(std::nanf(""), -std::nanf("")));
                ComplexFFT(stale.data(), n, inverse, false, true, work.data());
                EXPECT_TRUE(sameBits(clean, stale))
                    << "N=" << n << " inverse " << inverse << " scheduled " << scheduled;
            }
        }
    }
    useOwnScratch();
}

// The engine's L1d is the one the OS reports, where it reports a plausible one.
TEST(FFTTables, L1dGeometryComesFromTheMachine) {
    const fft::CacheGeometry g = fft::L1dGeometry();
    EXPECT_GE(g.Bytes, 4096);
    EXPECT_GT(g.Ways, 0);
    EXPECT_EQ(g.LineBytes & (g.LineBytes - 1), 0);
#if defined(_SC_LEVEL1_DCACHE_SIZE)
    const long bytes = sysconf(_SC_LEVEL1_DCACHE_SIZE);
    const long ways = sysconf(_SC_LEVEL1_DCACHE_ASSOC);
    if (bytes >= 4096 && ways > 0 && sysconf(_SC_LEVEL1_DCACHE_LINESIZE) == 64) {
        EXPECT_EQ(g.Bytes, bytes);
        EXPECT_EQ(g.Ways, ways);
    }
#endif
}

// Callers' arrays need only the alignment of a complex value; vector code must not assume more.
TEST_P(FFTPath, DataOffByOneValueGivesTheSameBits) {
    for (int32_t n : {16, 64, 4096}) {
        for (bool inverse : {false, true}) {
            for (bool reorder : {false, true}) {
                const std::vector<Complex> x = RandomSignal(n, 41);
                std::vector<Complex> aligned = x;
                std::vector<Complex> shifted(static_cast<std::size_t>(n) + 1);
                std::copy(x.begin(), x.end(), shifted.begin() + 1);
                ComplexFFT(aligned.data(), n, inverse, true, reorder);
                ComplexFFT(shifted.data() + 1, n, inverse, true, reorder);
                EXPECT_TRUE(
                    sameBits(aligned, std::vector<Complex>(shifted.begin() + 1, shifted.end())))
                    << "N=" << n << " inverse " << inverse << " reorder " << reorder;
            }
        }
    }
}

TEST_P(FFTPath, UnsupportedSizesLeaveDataAndWorkUntouched) {
    for (int32_t n : {3000, 131072, 1, 0, -4096, 6, 65537}) {
        for (bool inverse : {false, true}) {
            std::vector<Complex> x = RandomSignal(4096, 17);
            const std::vector<Complex> before = x;
            std::vector<Complex> work(4096, Complex(-7.0f, 7.0f));
            ComplexFFT(x.data(), n, inverse, true, true, work.data());
            EXPECT_TRUE(sameBits(x, before)) << "N=" << n;
            EXPECT_EQ(std::count(work.begin(), work.end(), Complex(-7.0f, 7.0f)), 4096)
                << "N=" << n;
        }
    }
    // The rejected Work must not have become the current scratch (it is gone now).
    std::vector<Complex> y = RandomSignal(4096, 19);
    ComplexFFT(y.data(), 4096, false, false, true);
    std::vector<Complex> want = RandomSignal(4096, 19);
    std::vector<LComplex> ref(want.begin(), want.end());
    ReferenceFft(ref, +1);
    EXPECT_LE(RelativeError(y, ref), errorBound(4096));
}

INSTANTIATE_TEST_SUITE_P(AllPaths, FFTPath,
                         ::testing::Values(KernelPath::Scalar, KernelPath::Avx2,
                                           KernelPath::Avx512),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                             switch (info.param) {
                                 case KernelPath::Scalar:
                                     return std::string("Scalar");
                                 case KernelPath::Avx2:
                                     return std::string("Avx2");
                                 case KernelPath::Avx512:
                                     return std::string("Avx512");
                             }
                             return std::string("Unknown");
                         });

// ---------------------------------------------------------------- caller-supplied scratch

TEST(FFTWork, SuppliedWorkBecomesTheCurrentScratch) {
    // Lives for the rest of the run: once supplied, the engine keeps using it.
    static std::vector<Complex> work(65536, Complex(0.0f, 0.0f));
    std::vector<Complex> x = RandomSignal(1024, 23);
    std::vector<Complex> viaOwn = x;
    ComplexFFT(viaOwn.data(), 1024, false, false, true);

    ComplexFFT(x.data(), 1024, false, false, true, work.data());
    EXPECT_TRUE(sameBits(x, viaOwn));
    EXPECT_TRUE(std::any_of(work.begin(), work.begin() + 1024,
                            [](Complex v) { return v != Complex(0.0f, 0.0f); }));

    std::fill(work.begin(), work.end(), Complex(0.0f, 0.0f));
    std::vector<Complex> y = RandomSignal(2048, 29);
    ComplexFFT(y.data(), 2048, false, false, true);  // null Work: the supplied buffer again
    EXPECT_TRUE(std::any_of(work.begin(), work.begin() + 2048,
                            [](Complex v) { return v != Complex(0.0f, 0.0f); }));

    // Work is not read without Reorder, and does not change the current scratch then.
    std::vector<Complex> other(1024, Complex(-1.0f, -1.0f));
    std::vector<Complex> z = RandomSignal(1024, 31);
    ComplexFFT(z.data(), 1024, false, false, false, other.data());
    EXPECT_EQ(std::count(other.begin(), other.end(), Complex(-1.0f, -1.0f)), 1024);
    std::fill(work.begin(), work.end(), Complex(0.0f, 0.0f));
    ComplexFFT(z.data(), 1024, false, false, true);
    EXPECT_TRUE(std::any_of(work.begin(), work.begin() + 1024,
                            [](Complex v) { return v != Complex(0.0f, 0.0f); }));
    useOwnScratch();
}

}  // namespace
}  // namespace stemora
