#include "core/uFFTasm.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "core/uFFTasmInternal.h"

namespace stemora {
namespace fft {

const float* gLevelFactors[kMaxLog2 + 1] = {};

namespace {

using Complex = std::complex<float>;

constexpr int32_t twiddleEntries(int log2N) noexcept {
    const int32_t n = int32_t{1} << log2N;
    return (log2N <= 9 ? n / 4 : n / 8) - 1;
}

// Buffer aligned for the widest vector path, released with the matching aligned delete.
template <class T>
struct AlignedArray {
    static constexpr std::align_val_t kAlign{64};
    T* ptr = nullptr;
    explicit AlignedArray(std::size_t count)
        : ptr(static_cast<T*>(::operator new(count * sizeof(T), kAlign))) {
        std::memset(static_cast<void*>(ptr), 0, count * sizeof(T));
    }
    ~AlignedArray() { ::operator delete(ptr, kAlign); }
    AlignedArray(const AlignedArray&) = delete;
    AlignedArray& operator=(const AlignedArray&) = delete;
};

std::size_t permOffset(int log2N) noexcept {
    // Sizes 2, 4, ..., 2^(log2N-1) precede: 2^log2N - 2 entries.
    return (std::size_t{1} << log2N) - 2;
}

std::size_t twiddleOffset(int log2N) noexcept {
    std::size_t offset = 0;
    for (int p = 5; p < log2N; ++p) {
        offset += 2 * static_cast<std::size_t>(twiddleEntries(p));
    }
    return offset;
}

std::size_t factorOffset(int log2N) noexcept {
    // Levels 8 .. 2^(log2N-1) precede, N/4 complex values each.
    std::size_t offset = 0;
    for (int p = 3; p < log2N; ++p) {
        offset += std::size_t{2} << (p - 2);
    }
    return offset;
}

bool cpuHas(KernelPath path) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    // The tables may be built by a static initialiser, possibly before libgcc's own one.
    __builtin_cpu_init();
    switch (path) {
        case KernelPath::Scalar:
            return true;
        case KernelPath::Avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case KernelPath::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx2") &&
                   __builtin_cpu_supports("fma");
    }
    return false;
#else
    return path == KernelPath::Scalar;
#endif
}

// The first level-1 data cache that CPUID's cache leaves describe (Intel leaf 4, AMD 0x8000001D,
// the same layout), or zeros.
CacheGeometry cpuidL1d() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(0, a, b, c, d);
    const bool amd = b == 0x68747541u;  // "Auth"enticAMD
    const unsigned leaf = amd ? 0x8000001Du : 4u;
    if ((amd ? __get_cpuid_max(0x80000000u, nullptr) : a) < leaf) {
        return {};
    }
    for (unsigned sub = 0; sub < 8; ++sub) {
        __cpuid_count(leaf, sub, a, b, c, d);
        const unsigned type = a & 0x1Fu;
        if (type == 0) {
            break;
        }
        if ((type == 1 || type == 3) && ((a >> 5) & 0x7u) == 1) {
            const int32_t ways = static_cast<int32_t>((b >> 22) + 1);
            const int32_t parts = static_cast<int32_t>(((b >> 12) & 0x3FFu) + 1);
            const int32_t line = static_cast<int32_t>((b & 0xFFFu) + 1);
            const int32_t sets = static_cast<int32_t>(c + 1);
            return {ways * parts * line * sets, ways, line};
        }
    }
#endif
    return {};
}

CacheGeometry detectL1d() noexcept {
    CacheGeometry g{};
#if defined(_SC_LEVEL1_DCACHE_SIZE) && defined(_SC_LEVEL1_DCACHE_ASSOC)
    g = {static_cast<int32_t>(sysconf(_SC_LEVEL1_DCACHE_SIZE)),
         static_cast<int32_t>(sysconf(_SC_LEVEL1_DCACHE_ASSOC)),
         static_cast<int32_t>(sysconf(_SC_LEVEL1_DCACHE_LINESIZE))};
#endif
    if (g.bytes <= 0 || g.ways <= 0 || g.lineBytes <= 0) {
        g = cpuidL1d();
    }
    // Implausible answers (a virtual machine may report anything) count as none.
    if (g.bytes < 4096 || g.bytes > (4 << 20) || g.ways <= 0 || g.ways > 64 || g.lineBytes < 16 ||
        g.lineBytes > 256 || (g.lineBytes & (g.lineBytes - 1)) != 0) {
        g = {32 * 1024, 8, 64};
    }
    return g;
}

constexpr int kLeafLog2 = 5;

// The leaves of the natural-order transform of 2^log2 values at x with bins c + stride * ...:
// the blocks of at most 32 values that the split-radix recursion ends in, each with the bin of its
// first slot. The passes leave every block where the plain recursion does, whatever order they
// run in, so the leaves may run in any order and in any groups.
void collectLeaves(int log2, uint32_t x, uint32_t c, uint32_t stride, uint32_t mask,
                   std::vector<LeafTask>& out) {
    if (log2 <= kLeafLog2) {
        out.push_back({{x, 0, 0, 0}, c & mask, 0, static_cast<uint8_t>(log2), LeafTask::Single});
        return;
    }
    collectLeaves(log2 - 2, x + (1u << (log2 - 1)), c + stride, 4 * stride, mask, out);
    collectLeaves(log2 - 2, x + 3 * (1u << (log2 - 2)), c - stride, 4 * stride, mask, out);
    collectLeaves(log2 - 1, x, c, 2 * stride, mask, out);
}

// Leaves of one size whose first bins are c, c + 1, ... (c a multiple of the group's width) hold
// neighbouring bins in every slot, so a group writes (or reads) them as one run: quads of four,
// then twins of two among the rest. At 4096 values quads take 15/16 of the bins.
std::vector<LeafTask> groupNeighbours(const std::vector<LeafTask>& leaves, uint32_t n) {
    std::vector<int32_t> byBin(n, -1);
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        byBin[leaves[i].c] = static_cast<int32_t>(i);
    }
    std::vector<bool> taken(leaves.size(), false);
    std::vector<LeafTask> tasks;
    for (const uint32_t width : {4u, 2u}) {
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            const LeafTask& first = leaves[i];
            if (taken[i] || first.c % width != 0) {
                continue;
            }
            int32_t members[4] = {static_cast<int32_t>(i), -1, -1, -1};
            bool complete = true;
            for (uint32_t d = 1; d < width && complete; ++d) {
                const int32_t m = byBin[(first.c + d) & (n - 1)];
                complete = m >= 0 && !taken[static_cast<std::size_t>(m)] &&
                           leaves[static_cast<std::size_t>(m)].log2 == first.log2;
                members[d] = m;
            }
            if (!complete) {
                continue;
            }
            LeafTask t = first;
            t.kind = width == 4 ? LeafTask::Quad : LeafTask::Twin;
            for (uint32_t d = 0; d < width; ++d) {
                taken[static_cast<std::size_t>(members[d])] = true;
                t.at[d] = leaves[static_cast<std::size_t>(members[d])].at[0];
            }
            tasks.push_back(t);
        }
    }
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        if (!taken[i]) {
            tasks.push_back(leaves[i]);
        }
    }
    return tasks;
}

// Orders the leaves by the cache lines they write: a leaf of 2^L values (L <= 5) with its bins at
// c + (N >> L) j touches only the lines whose index is congruent to c / (values per line) modulo
// the number of lines in N/32 values, so the leaves of one such class fill the same few lines
// (32 for any N) and finish them before the next class begins. Single leaves of one class and
// size go in pairs where the path can run two at once.
std::vector<LeafTask> buildLeafSchedule(int log2N, int32_t lineBytes) {
    const uint32_t n = uint32_t{1} << log2N;
    std::vector<LeafTask> leaves;
    collectLeaves(log2N, 0, 0, 1, n - 1, leaves);
    leaves = groupNeighbours(leaves, n);
    const uint32_t perLine =
        static_cast<uint32_t>(std::max<int32_t>(1, lineBytes / int32_t{sizeof(Complex)}));
    const uint32_t span = n / 32;
    const uint32_t classes = std::max<uint32_t>(1, span / perLine);
    const auto key = [&](const LeafTask& t) { return (t.c % span) / perLine % classes; };
    std::stable_sort(leaves.begin(), leaves.end(), [&](const LeafTask& x, const LeafTask& y) {
        if (key(x) != key(y)) {
            return key(x) < key(y);
        }
        return x.kind != y.kind ? x.kind > y.kind : x.log2 < y.log2;
    });
    std::vector<LeafTask> tasks;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        LeafTask t = leaves[i];
        if (t.kind == LeafTask::Single && i + 1 < leaves.size()) {
            const LeafTask& next = leaves[i + 1];
            if (next.kind == LeafTask::Single && next.log2 == t.log2 && key(next) == key(t)) {
                t.kind = LeafTask::Pair;
                t.at[1] = next.at[0];
                t.cB = next.c;
                ++i;
            }
        }
        tasks.push_back(t);
    }
    return tasks;
}

// Everything a transform needs, built once before the first one and released at exit.
class Engine {
  public:
    Engine()
        : perms_(permOffset(kMaxLog2 + 1)),
          twiddles_(twiddleOffset(kMaxLog2 + 1)),
          factors_(factorOffset(kMaxLog2 + 1)),
          scratch_(kMaxSize + kMaxSize / 32),
          l1d_(detectL1d()) {
        buildPermutations();
        buildTwiddles();
        buildFactors();
        buildPlans();
        current_.store(scratch_.ptr, std::memory_order_relaxed);
        selectPath(cpuHas(KernelPath::Avx512) ? KernelPath::Avx512
                   : cpuHas(KernelPath::Avx2) ? KernelPath::Avx2
                                              : KernelPath::Scalar);
    }

    const uint16_t* perm(int log2N) const noexcept { return perms_.ptr + permOffset(log2N); }
    const float* twiddles(int log2N) const noexcept { return twiddles_.ptr + twiddleOffset(log2N); }
    int32_t startIndex(int log2N) const noexcept { return startIndex_[log2N]; }
    Kernel kernel(int log2N, bool inverse) const noexcept {
        return kernels_.kernels[2 * (log2N - 1) + (inverse ? 1 : 0)];
    }
    NaturalKernel naturalKernel(int log2N, bool inverse) const noexcept {
        return kernels_.natural[2 * (log2N - 1) + (inverse ? 1 : 0)];
    }
    KernelPath path() const noexcept { return path_; }
    CacheGeometry l1d() const noexcept { return l1d_; }

    bool selectPath(KernelPath path) noexcept {
        if (!cpuHas(path)) {
            return false;
        }
        switch (path) {
            case KernelPath::Scalar:
                fillScalarKernels(kernels_);
                break;
            case KernelPath::Avx2:
                fillAvx2Kernels(kernels_);
                break;
            case KernelPath::Avx512:
                fillAvx512Kernels(kernels_);
                break;
        }
        path_ = path;
        return true;
    }

    // The padded layout only in the engine's own scratch, which has room for it.
    NaturalPlan plan(int log2N, const Complex* scratch, bool inverse) const noexcept {
        const bool padded = !inverse && padded_[log2N] && scratch == scratch_.ptr;
        const bool scheduled =
            schedulesOn_ && schedules_[log2N].count > 0 && (inverse || !padded_[log2N]);
        return {padded, scheduled ? &schedules_[log2N] : nullptr};
    }
    LeafSchedule schedule(int log2N) const noexcept { return schedules_[log2N]; }
    void useSchedules(bool on) noexcept { schedulesOn_ = on; }

    // A caller's Work becomes the current scratch for this and later calls.
    Complex* scratch(Complex* work) noexcept {
        if (work != nullptr) {
            current_.store(work, std::memory_order_relaxed);
            return work;
        }
        return current_.load(std::memory_order_relaxed);
    }
    Complex* own() const noexcept { return scratch_.ptr; }

  private:
    void buildPermutations() noexcept {
        uint16_t* p2 = perms_.ptr + permOffset(1);
        p2[0] = 0;
        p2[1] = 1;
        int32_t start = 1;
        int32_t toggle = 1;
        for (int log2M = 2; log2M <= kMaxLog2; ++log2M) {
            const int32_t m = int32_t{1} << (log2M - 1);
            const uint16_t* half = perms_.ptr + permOffset(log2M - 1);
            uint16_t* table = perms_.ptr + permOffset(log2M);
            toggle = 1 - toggle;
            start = 2 * start - toggle;
            startIndex_[log2M] = start;
            for (int32_t i = 0; i < m; ++i) {
                table[i] = static_cast<uint16_t>(2 * half[i]);
                table[m + i] = static_cast<uint16_t>(2 * half[i]);
            }
            for (int32_t i = start; i < start + m; ++i) {
                table[i] = static_cast<uint16_t>(table[i] + 1);
            }
        }
    }

    void buildTwiddles() noexcept {
        for (int log2N = 5; log2N <= kMaxLog2; ++log2N) {
            const long double pi = 3.141592653589793238462643383279502884L;
            const double delta =
                static_cast<double>(2.0L * pi / static_cast<long double>(1 << log2N));
            float* table = twiddles_.ptr + twiddleOffset(log2N);
            for (int32_t k = 1; k <= twiddleEntries(log2N); ++k) {
                const long double theta = static_cast<long double>(k) * delta;
                table[2 * (k - 1)] = static_cast<float>(std::cos(theta));
                table[2 * (k - 1) + 1] = static_cast<float>(std::sin(theta));
            }
        }
    }

    // w_k for k = 0 .. N/4-1 of every level, by the symmetry that the large passes use: the table
    // forwards up to N/8, sqrt(1/2) (1 + i) at N/8, then the table backwards with re and im
    // swapped.
    void buildFactors() noexcept {
        for (int log2N = 3; log2N <= kMaxLog2; ++log2N) {
            const int32_t quarter = int32_t{1} << (log2N - 2);
            float* w = factors_.ptr + factorOffset(log2N);
            gLevelFactors[log2N] = w;
            const float* table = log2N >= 5 ? twiddles(log2N) : nullptr;
            for (int32_t k = 0; k < quarter; ++k) {
                float re = 1.0f;
                float im = 0.0f;
                if (k == 0) {
                } else if (log2N == 3) {
                    re = im = kSqrtHalf;
                } else if (log2N == 4) {
                    const float cs[4][2] = {{1.0f, 0.0f},
                                            {kCosPi8, kSinPi8},
                                            {kSqrtHalf, kSqrtHalf},
                                            {kSinPi8, kCosPi8}};
                    re = cs[k][0];
                    im = cs[k][1];
                } else if (log2N <= 9 || k < quarter / 2) {
                    re = table[2 * (k - 1)];
                    im = table[2 * (k - 1) + 1];
                } else if (k == quarter / 2) {
                    re = im = kSqrtHalf;
                } else {
                    const int32_t j = quarter - k;
                    re = table[2 * (j - 1) + 1];
                    im = table[2 * (j - 1)];
                }
                w[2 * k] = re;
                w[2 * k + 1] = im;
            }
        }
    }

    // Which sizes take the padded layout and which run their leaves from a schedule, from the
    // L1d geometry. Padded, forward only: the data alone outgrows the L1d, so the leaves'
    // scattered writes go to a layout that spreads them over the cache sets (the kernels have that
    // layout from 8192 on). Scheduled: the passes run uninterrupted, then the leaves line class by
    // line class (see buildLeafSchedule), where there are at least four classes; below that the
    // leaves' writes are few and the interleaved order was measured faster. The inverse reads its
    // bins in runs of four from a schedule at every size that has one: scattered reads do not
    // evict each other's work the way scattered writes do, and no copy into the padded layout
    // is needed (measured 6 to 24 % faster from 8192 to 32768, the same at 65536).
    void buildPlans() {
        const int64_t l1 = l1d_.bytes;
        for (int log2N = 7; log2N <= kMaxLog2; ++log2N) {
            const int64_t bytes = int64_t{static_cast<int64_t>(sizeof(Complex))} << log2N;
            padded_[log2N] = bytes > l1 && log2N >= kPaddedMinLog2;
            const int64_t classes = (bytes / 32) / l1d_.lineBytes;
            if (classes >= 4) {
                leafTasks_[log2N] = buildLeafSchedule(log2N, l1d_.lineBytes);
                schedules_[log2N] = {leafTasks_[log2N].data(),
                                     static_cast<int32_t>(leafTasks_[log2N].size())};
            }
        }
    }

    AlignedArray<uint16_t> perms_;
    AlignedArray<float> twiddles_;
    AlignedArray<float> factors_;
    AlignedArray<Complex> scratch_;
    CacheGeometry l1d_;
    bool padded_[kMaxLog2 + 1] = {};
    std::vector<LeafTask> leafTasks_[kMaxLog2 + 1];
    LeafSchedule schedules_[kMaxLog2 + 1] = {};
    bool schedulesOn_ = true;
    int32_t startIndex_[kMaxLog2 + 1] = {};
    KernelSet kernels_ = {};
    KernelPath path_ = KernelPath::Scalar;
    std::atomic<Complex*> current_{nullptr};
};

Engine& engine() noexcept {
    static Engine instance;
    return instance;
}

// Build the tables at start-up rather than inside the first transform.
[[maybe_unused]] const bool gBuiltAtStartUp = (engine(), true);

// log2 N for the supported sizes, -1 otherwise.
int supportedLog2(int32_t n) noexcept {
    if (n < 2 || n > kMaxSize || (n & (n - 1)) != 0) {
        return -1;
    }
    return std::countr_zero(static_cast<uint32_t>(n));
}

void scale(Complex* data, int32_t n, float factor) noexcept {
    float* f = reinterpret_cast<float*>(data);
    for (int32_t i = 0; i < 2 * n; ++i) {
        f[i] *= factor;
    }
}

}  // namespace

void ensureInitialised() noexcept {
    engine();
}
CacheGeometry l1dGeometry() noexcept {
    return engine().l1d();
}
LeafSchedule leafSchedule(int log2N) noexcept {
    return engine().schedule(log2N);
}
void useLeafSchedules(bool on) noexcept {
    engine().useSchedules(on);
}
std::complex<float>* ownScratch() noexcept {
    return engine().own();
}
const uint16_t* permTable(int log2N) noexcept {
    return engine().perm(log2N);
}
int32_t permStartIndex(int log2N) noexcept {
    return engine().startIndex(log2N);
}
const float* twiddleTable(int log2N) noexcept {
    return engine().twiddles(log2N);
}
int32_t twiddleCount(int log2N) noexcept {
    return twiddleEntries(log2N);
}
bool pathSupported(KernelPath path) noexcept {
    return cpuHas(path);
}
KernelPath activePath() noexcept {
    return engine().path();
}
bool selectPath(KernelPath path) noexcept {
    return engine().selectPath(path);
}

}  // namespace fft

void ComplexFFT(std::complex<float>* Data, int32_t N, bool Inverse, bool Scale, bool Reorder,
                std::complex<float>* Work) {
    const int log2N = fft::supportedLog2(N);
    if (log2N < 0) {
        return;
    }
    fft::Engine& engine = fft::engine();
    if (Inverse && Scale) {
        fft::scale(Data, N, 1.0f / static_cast<float>(N));  // exact: N is a power of two
    }
    // With Reorder the permutation is folded into the kernels: the leaves write the forward
    // result to its bins (and the inverse leaves read from them), through the scratch.
    if (Reorder) {
        std::complex<float>* scratch = engine.scratch(Work);
        engine.naturalKernel(log2N, Inverse)(Data, scratch, engine.plan(log2N, scratch, Inverse));
    } else {
        engine.kernel(log2N, Inverse)(Data);
    }
}

}  // namespace stemora
