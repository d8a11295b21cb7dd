// Natural-order transforms in both directions against FFTW (single precision, in place, measured
// plan), and forward ones against KissFFT, with a table of each size's time and accuracy relative
// to FFTW at the end, headed by the CPU and L1d geometry they ran on.
//
// Every library transforms its own buffer in place over and over; the values grow until they
// overflow, which costs nothing on x86 vector units (only subnormals are slow, and growth never
// makes any), and it keeps a refill copy out of the timed loop.

#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <kiss_fft.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/uFFTasm.h"
#include "core/uFFTasmInternal.h"
#include "support/ReferenceDft.h"

namespace {

using Complex = std::complex<float>;
using LComplex = std::complex<long double>;

constexpr int32_t kSizes[] = {64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
using stemora::test::RandomSignal;
using stemora::test::RelativeError;

// Buffer from fftwf_malloc, so that every library gets the same (SIMD) alignment.
struct FftwBuffer {
    Complex* Data;
    explicit FftwBuffer(int32_t n)
        : Data(reinterpret_cast<Complex*>(fftwf_malloc(sizeof(Complex) * static_cast<size_t>(n)))) {
    }
    ~FftwBuffer() { fftwf_free(Data); }
    FftwBuffer(const FftwBuffer&) = delete;
    FftwBuffer& operator=(const FftwBuffer&) = delete;
    fftwf_complex* Fftw() const { return reinterpret_cast<fftwf_complex*>(Data); }
};

// FFTW_BACKWARD is FFTW's positive exponent, the direction of our forward transform.
fftwf_plan makeFftwPlan(int32_t n, const FftwBuffer& buffer, int sign = FFTW_BACKWARD) {
    return fftwf_plan_dft_1d(n, buffer.Fftw(), buffer.Fftw(), sign, FFTW_MEASURE);
}

void fill(const FftwBuffer& buffer, int32_t n, uint32_t seed) {
    const std::vector<Complex> x = RandomSignal(n, seed);
    std::copy(x.begin(), x.end(), buffer.Data);
}

void BM_Stemora(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    FftwBuffer buffer(n);
    fill(buffer, n, 1);
    for (auto _ : state) {
        stemora::ComplexFFT(buffer.Data, n, false, true, true);
        benchmark::DoNotOptimize(buffer.Data);
        benchmark::ClobberMemory();
    }
}

// The kernels alone: scrambled output, no permutation.
void BM_StemoraScrambled(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    FftwBuffer buffer(n);
    fill(buffer, n, 1);
    for (auto _ : state) {
        stemora::ComplexFFT(buffer.Data, n, false, true, false);
        benchmark::DoNotOptimize(buffer.Data);
        benchmark::ClobberMemory();
    }
}

// The AVX2 kernels, for machines without AVX-512 (the fastest path is the default).
void runAvx2(benchmark::State& state, bool inverse) {
    if (!stemora::fft::PathSupported(stemora::fft::KernelPath::Avx2)) {
        state.SkipWithError("no AVX2");
        return;
    }
    const auto n = static_cast<int32_t>(state.range(0));
    FftwBuffer buffer(n);
    fill(buffer, n, 1);
    const stemora::fft::KernelPath previous = stemora::fft::ActivePath();
    stemora::fft::SelectPath(stemora::fft::KernelPath::Avx2);
    for (auto _ : state) {
        stemora::ComplexFFT(buffer.Data, n, inverse, false, true);
        benchmark::DoNotOptimize(buffer.Data);
        benchmark::ClobberMemory();
    }
    stemora::fft::SelectPath(previous);
}

void BM_StemoraAvx2(benchmark::State& state) {
    runAvx2(state, false);
}

// Natural-order inverse, unscaled like FFTW's.
void BM_StemoraInverse(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    FftwBuffer buffer(n);
    fill(buffer, n, 1);
    for (auto _ : state) {
        stemora::ComplexFFT(buffer.Data, n, true, false, true);
        benchmark::DoNotOptimize(buffer.Data);
        benchmark::ClobberMemory();
    }
}

void BM_StemoraInverseAvx2(benchmark::State& state) {
    runAvx2(state, true);
}

void runFftw(benchmark::State& state, int sign) {
    const auto n = static_cast<int32_t>(state.range(0));
    FftwBuffer buffer(n);
    const fftwf_plan plan = makeFftwPlan(n, buffer, sign);
    fill(buffer, n, 1);
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(buffer.Data);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
}

void BM_FFTW(benchmark::State& state) {
    runFftw(state, FFTW_BACKWARD);
}

// FFTW_FORWARD is the negative exponent, the direction of our inverse.
void BM_FFTWInverse(benchmark::State& state) {
    runFftw(state, FFTW_FORWARD);
}

// KissFFT's inverse direction has the positive exponent; it works out of place.
void BM_KissFFT(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const kiss_fft_cfg cfg = kiss_fft_alloc(n, 1, nullptr, nullptr);
    FftwBuffer in(n);
    FftwBuffer out(n);
    fill(in, n, 1);
    for (auto _ : state) {
        kiss_fft(cfg, reinterpret_cast<kiss_fft_cpx*>(in.Data),
                 reinterpret_cast<kiss_fft_cpx*>(out.Data));
        benchmark::DoNotOptimize(out.Data);
        benchmark::ClobberMemory();
    }
    kiss_fft_free(cfg);
}

// Size by size, every library in turn, so that a change in the machine's load between families
// does not skew the ratios; --benchmark_enable_random_interleaving mixes the repetitions further.
void registerBenchmarks() {
    using Fn = void (*)(benchmark::State&);
    const std::pair<const char*, Fn> libraries[] = {
        {"BM_Stemora", BM_Stemora},
        {"BM_StemoraScrambled", BM_StemoraScrambled},
        {"BM_StemoraAvx2", BM_StemoraAvx2},
        {"BM_FFTW", BM_FFTW},
        {"BM_KissFFT", BM_KissFFT},
        {"BM_StemoraInverse", BM_StemoraInverse},
        {"BM_StemoraInverseAvx2", BM_StemoraInverseAvx2},
        {"BM_FFTWInverse", BM_FFTWInverse}};
    for (int32_t n : kSizes) {
        for (const auto& [name, fn] : libraries) {
            benchmark::RegisterBenchmark(name, fn)
                ->Arg(n)
                ->Unit(benchmark::kNanosecond)
                ->ComputeStatistics("min", [](const std::vector<double>& v) {
                    return *std::min_element(v.begin(), v.end());
                });
        }
    }
}

// Extended-precision reference: the direct DFT up to 4096 points, a radix-2 FFT with exact
// extended-precision roots above (the direct sum would take minutes there).
std::vector<LComplex> reference(const std::vector<Complex>& x) {
    if (x.size() <= 4096) {
        return stemora::test::DirectDft(x, +1);
    }
    std::vector<LComplex> a(x.begin(), x.end());
    stemora::test::ReferenceFft(a, +1);
    return a;
}

struct Accuracy {
    double Stemora, Fftw, Kiss;
};

// Largest error relative to max |X| of each library on the same random input.
Accuracy measureAccuracy(int32_t n) {
    const std::vector<Complex> x = RandomSignal(n, 42 + static_cast<uint32_t>(n));
    const std::vector<LComplex> want = reference(x);
    FftwBuffer a(n);
    FftwBuffer b(n);
    FftwBuffer c(n);
    const fftwf_plan plan = makeFftwPlan(n, b);
    std::copy(x.begin(), x.end(), a.Data);
    std::copy(x.begin(), x.end(), b.Data);
    stemora::ComplexFFT(a.Data, n, false, false, true);
    fftwf_execute(plan);
    fftwf_destroy_plan(plan);
    const kiss_fft_cfg cfg = kiss_fft_alloc(n, 1, nullptr, nullptr);
    kiss_fft(cfg, reinterpret_cast<const kiss_fft_cpx*>(x.data()),
             reinterpret_cast<kiss_fft_cpx*>(c.Data));
    kiss_fft_free(cfg);
    return {RelativeError(a.Data, want), RelativeError(b.Data, want), RelativeError(c.Data, want)};
}

// Keeps the fastest of repeated runs (or the single run) of each library and size: other work on
// a shared machine only ever slows a run down, so the minimum is the steadiest estimate.
class TableReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (run.error_occurred || (aggregate && run.aggregate_name != "min") ||
                (!aggregate && run.repetitions > 1)) {
                continue;
            }
            const std::string& args = run.run_name.args;
            times_[{run.run_name.function_name, std::stoi(args)}] = run.GetAdjustedCPUTime();
        }
    }

    double Time(const std::string& name, int32_t n) const {
        const auto it = times_.find({name, n});
        return it == times_.end() ? 0.0 : it->second;
    }

  private:
    std::map<std::pair<std::string, int32_t>, double> times_;
};

// The model name with its family and model numbers (virtual machines often show only a vendor's
// generic name).
std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    std::string name = "unknown CPU";
    std::string family;
    std::string model;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon + 2 > line.size()) {
            continue;
        }
        const std::string value = line.substr(colon + 2);
        if (line.rfind("model name", 0) == 0) {
            name = value;
        } else if (line.rfind("cpu family", 0) == 0) {
            family = value;
        } else if (line.rfind("model", 0) == 0 && line.rfind("model name", 0) != 0) {
            model = value;
        }
        if (name != "unknown CPU" && !family.empty() && !model.empty()) {
            break;
        }
    }
    return family.empty() ? name : name + " (family " + family + ", model " + model + ")";
}

}  // namespace

int main(int argc, char** argv) {
    const bool wisdom = fftwf_import_wisdom_from_filename(STEMORA_FFTW_WISDOM) != 0;
    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fftwf_export_wisdom_to_filename(STEMORA_FFTW_WISDOM);

    std::printf("\nFFTW wisdom %s " STEMORA_FFTW_WISDOM "\n", wisdom ? "read from" : "written to");
    const stemora::fft::CacheGeometry l1d = stemora::fft::L1dGeometry();
    std::printf("CPU %s, L1d %d KiB %d-way %d B lines (as the engine sees it)\n",
                cpuModel().c_str(), l1d.Bytes / 1024, l1d.Ways, l1d.LineBytes);
    std::printf(
        "Times: the fastest repetition (--benchmark_repetitions=N, with "
        "--benchmark_enable_random_interleaving=true)\n");
    std::printf("%6s %10s %10s %10s %10s %10s %7s %7s %7s | %9s %9s %9s %7s\n", "N", "Stemora ns",
                "scrambled", "AVX2 ns", "FFTW ns", "Kiss ns", "/FFTW", "AVX2/F", "Kiss/us",
                "err us", "err FFTW", "err Kiss", "us/FFTW");
    for (int32_t n : kSizes) {
        const double us = reporter.Time("BM_Stemora", n);
        const double scrambled = reporter.Time("BM_StemoraScrambled", n);
        const double avx2 = reporter.Time("BM_StemoraAvx2", n);
        const double fftw = reporter.Time("BM_FFTW", n);
        const double kiss = reporter.Time("BM_KissFFT", n);
        const Accuracy acc = measureAccuracy(n);
        std::printf(
            "%6d %10.1f %10.1f %10.1f %10.1f %10.1f %7.2f %7.2f %7.2f | %9.2e %9.2e %9.2e %7.2f\n",
            n, us, scrambled, avx2, fftw, kiss, fftw > 0 ? us / fftw : 0.0,
            fftw > 0 ? avx2 / fftw : 0.0, us > 0 ? kiss / us : 0.0, acc.Stemora, acc.Fftw, acc.Kiss,
            acc.Stemora / acc.Fftw);
    }
    std::printf("\nInverse, natural-order input, unscaled\n%6s %10s %10s %10s %7s %7s\n", "N",
                "Stemora ns", "AVX2 ns", "FFTW ns", "/FFTW", "AVX2/F");
    for (int32_t n : kSizes) {
        const double us = reporter.Time("BM_StemoraInverse", n);
        const double avx2 = reporter.Time("BM_StemoraInverseAvx2", n);
        const double fftw = reporter.Time("BM_FFTWInverse", n);
        std::printf("%6d %10.1f %10.1f %10.1f %7.2f %7.2f\n", n, us, avx2, fftw,
                    fftw > 0 ? us / fftw : 0.0, fftw > 0 ? avx2 / fftw : 0.0);
    }
    return 0;
}
