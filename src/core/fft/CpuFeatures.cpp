#include "core/fft/CpuFeatures.h"

#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace stemora::fft {
namespace {

// The first level-1 data cache that CPUID's cache leaves describe (Intel leaf 4, AMD 0x8000001D,
// the same layout), or zeros.
CacheGeometry cpuidL1d() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
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

}  // namespace

bool CpuHas(KernelPath path) noexcept {
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

CacheGeometry DetectL1d() noexcept {
    CacheGeometry g{};
#if defined(_SC_LEVEL1_DCACHE_SIZE) && defined(_SC_LEVEL1_DCACHE_ASSOC)
    g = {static_cast<int32_t>(sysconf(_SC_LEVEL1_DCACHE_SIZE)),
         static_cast<int32_t>(sysconf(_SC_LEVEL1_DCACHE_ASSOC)),
         static_cast<int32_t>(sysconf(_SC_LEVEL1_DCACHE_LINESIZE))};
#endif
    if (g.Bytes <= 0 || g.Ways <= 0 || g.LineBytes <= 0) {
        g = cpuidL1d();
    }
    // Implausible answers (a virtual machine may report anything) count as none.
    if (g.Bytes < 4096 || g.Bytes > (4 << 20) || g.Ways <= 0 || g.Ways > 64 || g.LineBytes < 16 ||
        g.LineBytes > 256 || (g.LineBytes & (g.LineBytes - 1)) != 0) {
        g = {32 * 1024, 8, 64};
    }
    return g;
}

}  // namespace stemora::fft
