#pragma once

// Machinery of the FFT engine shared by its translation units and its tests. Not for other code.

#include <complex>
#include <cstdint>

namespace stemora::fft {

constexpr int kMaxLog2 = 16;
constexpr int32_t kMaxSize = 1 << kMaxLog2;

// Float32 rotation constants with fixed bit patterns (0x3F3504F3, 0x3F6C835E, 0x3EC3EF15).
constexpr float kSqrtHalf = 0.70710677f;
constexpr float kCosPi8 = 0.9238795f;
constexpr float kSinPi8 = 0.38268343f;

// Kernel of one size and direction; works in place on the size's number of values. Forward kernels
// take natural order and leave the scrambled order, inverse kernels the other way round.
using Kernel = void (*)(std::complex<float>* data) noexcept;

// One task of a natural-order transform whose leaves run after all the passes (forward) or before
// them (inverse): leaves of 2^log2 values whose blocks start at at[i] (in values, within the
// working array). A single leaf has its bins at (c + (N >> log2) * order[j]) mod N; the second
// block of a neighbour pair has the bins c + 1 + ..., the blocks of a neighbour quad c, c + 1,
// c + 2 and c + 3 + ...; the second block of an unrelated pair is another leaf of the same size
// with its own bins at cB + ... .
struct LeafTask {
    enum Kind : uint8_t { Single, NeighbourPair, UnrelatedPair, NeighbourQuad };
    uint32_t At[4];
    uint32_t C, CB;
    uint8_t Log2;
    Kind Kind;
};

// The leaves of one size in the order they run: grouped by the cache lines of the natural-order
// array they write (or read), so that each group's lines are finished while they are cached.
struct LeafSchedule {
    const LeafTask* Tasks;
    int32_t Count;
};

// The kernels have the padded layout (below) from this size on; the engine takes it where the L1d
// is too small for the data.
constexpr int kPaddedMinLog2 = 13;

// How the engine runs the natural-order transform of one size.
struct NaturalPlan {
    // Forward only: the engine's own scratch with N + N/32 values, a spare cache line after
    // every 256.
    bool Padded;
    // Non-null: the leaves run apart from the passes, in this order.
    const LeafSchedule* Schedule;
};

// Kernel that takes natural-order input (inverse) or leaves natural-order output (forward) through
// the scratch, apart from the data: N values, or N + N/32 when padded (forward). Sizes up to 16 do
// not touch the scratch.
using NaturalKernel = void (*)(std::complex<float>* data, std::complex<float>* scratch,
                               NaturalPlan plan) noexcept;

// The kernels of one path: entry 2(p-1) is the forward kernel of 2^p, 2(p-1)+1 the inverse one.
struct KernelSet {
    Kernel Kernels[2 * kMaxLog2];
    NaturalKernel Natural[2 * kMaxLog2];
};

enum class KernelPath { Scalar, Avx2, Avx512 };

// Per-level rotation factors w_k = cos(2*pi*k/N) + i*sin(2*pi*k/N), k = 0 .. N/4-1, interleaved
// (re, im) float32, for N = 8 .. 65536 (index log2 N). Derived once from the twiddle tables and
// rotation constants, bit for bit the factors that the combining passes use. Read-only after
// start-up; valid only once the engine is initialised (any ComplexFFT call or EnsureInitialised).
extern const float* gLevelFactors[kMaxLog2 + 1];

void EnsureInitialised() noexcept;

// Level-1 data cache of the machine, read once at start-up (from the OS, else CPUID); a 32 KiB
// 8-way cache of 64-byte lines when neither answers.
struct CacheGeometry {
    int32_t Bytes;
    int32_t Ways;
    int32_t LineBytes;
};
CacheGeometry L1dGeometry() noexcept;

// The leaf schedule of size 2^log2N, built with the tables; count 0 where that size runs its
// leaves between the passes (as the forward transform of a padded size also does).
LeafSchedule ScheduleFor(int log2N) noexcept;
// Tests: false makes every size run its leaves between the passes, true (the default) restores
// the schedules. Not thread-safe, like SelectPath.
void UseLeafSchedules(bool on) noexcept;

// The engine's own scratch. Passing it as Work makes it the current scratch again (tests).
std::complex<float>* OwnScratch() noexcept;

// Output permutation of size 2^log2N: entry k is the slot in which the forward kernels leave bin k.
// The natural-order kernels do not look it up: their leaves compute each bin from the recursion
// (see NaturalOrder.h), which the tests check against this table.
const uint16_t* PermTable(int log2N) noexcept;
// Start index used when the permutation of size 2^log2N (log2N >= 2) was built from the half size.
int32_t PermStartIndex(int log2N) noexcept;
// Twiddle table of size 2^log2N (log2N = 5 .. 16): (cos, sin) pairs for k = 1 .. C-1 at index k-1,
// with C = N/4 up to 512 and N/8 from 1024 on; TwiddleCount gives C-1.
const float* TwiddleTable(int log2N) noexcept;
int32_t TwiddleCount(int log2N) noexcept;

// Kernel path selection. The fastest path the CPU supports is chosen at start-up; tests switch
// paths to run every one the machine has. Not thread-safe: no transform may run meanwhile.
bool PathSupported(KernelPath path) noexcept;
KernelPath ActivePath() noexcept;
bool SelectPath(KernelPath path) noexcept;  // false (and no change) when not supported

void FillScalarKernels(KernelSet& set) noexcept;
void FillAvx2Kernels(KernelSet& set) noexcept;
void FillAvx512Kernels(KernelSet& set) noexcept;

}  // namespace stemora::fft
