#include "core/uFFTasm.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "core/fft/CpuFeatures.h"
#include "core/fft/LeafSchedule.h"
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
    T* Ptr = nullptr;
    explicit AlignedArray(std::size_t count)
        : Ptr(static_cast<T*>(::operator new(count * sizeof(T), kAlign))) {
        std::memset(static_cast<void*>(Ptr), 0, count * sizeof(T));
    }
    ~AlignedArray() { ::operator delete(Ptr, kAlign); }
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

// Everything a transform needs, built once before the first one and released at exit.
class Engine {
  public:
    Engine()
        : perms_(permOffset(kMaxLog2 + 1)),
          twiddles_(twiddleOffset(kMaxLog2 + 1)),
          factors_(factorOffset(kMaxLog2 + 1)),
          scratch_(kMaxSize + kMaxSize / 32),
          l1d_(DetectL1d()) {
        buildPermutations();
        buildTwiddles();
        buildFactors();
        buildPlans();
        current_.store(scratch_.Ptr, std::memory_order_relaxed);
        SelectPath(CpuHas(KernelPath::Avx512) ? KernelPath::Avx512
                   : CpuHas(KernelPath::Avx2) ? KernelPath::Avx2
                                              : KernelPath::Scalar);
    }

    const uint16_t* Perm(int log2N) const noexcept { return perms_.Ptr + permOffset(log2N); }
    const float* Twiddles(int log2N) const noexcept { return twiddles_.Ptr + twiddleOffset(log2N); }
    int32_t StartIndex(int log2N) const noexcept { return startIndex_[log2N]; }
    Kernel KernelFor(int log2N, bool inverse) const noexcept {
        return kernels_.Kernels[2 * (log2N - 1) + (inverse ? 1 : 0)];
    }
    NaturalKernel NaturalKernelFor(int log2N, bool inverse) const noexcept {
        return kernels_.Natural[2 * (log2N - 1) + (inverse ? 1 : 0)];
    }
    KernelPath Path() const noexcept { return path_; }
    CacheGeometry L1d() const noexcept { return l1d_; }

    bool SelectPath(KernelPath path) noexcept {
        if (!CpuHas(path)) {
            return false;
        }
        switch (path) {
            case KernelPath::Scalar:
                FillScalarKernels(kernels_);
                break;
            case KernelPath::Avx2:
                FillAvx2Kernels(kernels_);
                break;
            case KernelPath::Avx512:
                FillAvx512Kernels(kernels_);
                break;
        }
        path_ = path;
        return true;
    }

    // The padded layout only in the engine's own scratch, which has room for it.
    NaturalPlan Plan(int log2N, const Complex* scratch, bool inverse) const noexcept {
        const bool padded = !inverse && padded_[log2N] && scratch == scratch_.Ptr;
        const bool scheduled =
            schedulesOn_ && schedules_[log2N].Count > 0 && (inverse || !padded_[log2N]);
        return {padded, scheduled ? &schedules_[log2N] : nullptr};
    }
    LeafSchedule Schedule(int log2N) const noexcept { return schedules_[log2N]; }
    void UseSchedules(bool on) noexcept { schedulesOn_ = on; }

    // A caller's Work becomes the current scratch for this and later calls.
    Complex* Scratch(Complex* work) noexcept {
        if (work != nullptr) {
            current_.store(work, std::memory_order_relaxed);
            return work;
        }
        return current_.load(std::memory_order_relaxed);
    }
    Complex* Own() const noexcept { return scratch_.Ptr; }

  private:
    void buildPermutations() noexcept {
        uint16_t* p2 = perms_.Ptr + permOffset(1);
        p2[0] = 0;
        p2[1] = 1;
        int32_t start = 1;
        int32_t toggle = 1;
        for (int log2M = 2; log2M <= kMaxLog2; ++log2M) {
            const int32_t m = int32_t{1} << (log2M - 1);
            const uint16_t* half = perms_.Ptr + permOffset(log2M - 1);
            uint16_t* table = perms_.Ptr + permOffset(log2M);
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
            float* table = twiddles_.Ptr + twiddleOffset(log2N);
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
            float* w = factors_.Ptr + factorOffset(log2N);
            gLevelFactors[log2N] = w;
            const float* table = log2N >= 5 ? Twiddles(log2N) : nullptr;
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
    // L1d geometry (the table at the top of fft/NaturalOrder.h sums it up). Padded, forward only:
    // the data alone outgrows the L1d, so the leaves' scattered writes go to a layout that spreads
    // them over the cache sets (the kernels have that layout from 8192 on; NaturalAt in
    // fft/Recursion.h says what it buys). Scheduled: the passes run uninterrupted, then the leaves
    // line class by line class (see BuildLeafSchedule), where there are at least four classes;
    // below that the leaves' writes are few and the interleaved order was measured faster. The
    // inverse reads its bins in runs of four from a schedule at every size that has one: scattered
    // reads do not evict each other's work the way scattered writes do, and no copy into the padded
    // layout is needed (measured 6 to 24 % faster from 8192 to 32768, the same at 65536).
    void buildPlans() {
        const int64_t l1 = l1d_.Bytes;
        for (int log2N = 7; log2N <= kMaxLog2; ++log2N) {
            const int64_t bytes = int64_t{static_cast<int64_t>(sizeof(Complex))} << log2N;
            padded_[log2N] = bytes > l1 && log2N >= kPaddedMinLog2;
            const int64_t classes = (bytes / 32) / l1d_.LineBytes;
            if (classes >= 4) {
                leafTasks_[log2N] = BuildLeafSchedule(log2N, l1d_.LineBytes);
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
[[maybe_unused]] const bool kGBuiltAtStartUp = [] {
    engine();
    return true;
}();

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

void EnsureInitialised() noexcept {
    engine();
}
CacheGeometry L1dGeometry() noexcept {
    return engine().L1d();
}
LeafSchedule ScheduleFor(int log2N) noexcept {
    return engine().Schedule(log2N);
}
void UseLeafSchedules(bool on) noexcept {
    engine().UseSchedules(on);
}
std::complex<float>* OwnScratch() noexcept {
    return engine().Own();
}
const uint16_t* PermTable(int log2N) noexcept {
    return engine().Perm(log2N);
}
int32_t PermStartIndex(int log2N) noexcept {
    return engine().StartIndex(log2N);
}
const float* TwiddleTable(int log2N) noexcept {
    return engine().Twiddles(log2N);
}
int32_t TwiddleCount(int log2N) noexcept {
    return twiddleEntries(log2N);
}
bool PathSupported(KernelPath path) noexcept {
    return CpuHas(path);
}
KernelPath ActivePath() noexcept {
    return engine().Path();
}
bool SelectPath(KernelPath path) noexcept {
    return engine().SelectPath(path);
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
        std::complex<float>* scratch = engine.Scratch(Work);
        engine.NaturalKernelFor(log2N, Inverse)(Data, scratch,
                                                engine.Plan(log2N, scratch, Inverse));
    } else {
        engine.KernelFor(log2N, Inverse)(Data);
    }
}

}  // namespace stemora
