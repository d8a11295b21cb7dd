#include "core/fft/LeafSchedule.h"

#include <algorithm>
#include <complex>

namespace stemora::fft {
namespace {

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
// then pairs of two among the rest. At 4096 values the quads take 15/16 of the bins.
std::vector<LeafTask> groupNeighbours(const std::vector<LeafTask>& leaves, uint32_t n) {
    std::vector<int32_t> byBin(n, -1);
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        byBin[leaves[i].C] = static_cast<int32_t>(i);
    }
    std::vector<bool> taken(leaves.size(), false);
    std::vector<LeafTask> tasks;
    for (const uint32_t width : {4u, 2u}) {
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            const LeafTask& first = leaves[i];
            if (taken[i] || first.C % width != 0) {
                continue;
            }
            int32_t members[4] = {static_cast<int32_t>(i), -1, -1, -1};
            bool complete = true;
            for (uint32_t d = 1; d < width && complete; ++d) {
                const int32_t m = byBin[(first.C + d) & (n - 1)];
                complete = m >= 0 && !taken[static_cast<std::size_t>(m)] &&
                           leaves[static_cast<std::size_t>(m)].Log2 == first.Log2;
                members[d] = m;
            }
            if (!complete) {
                continue;
            }
            LeafTask t = first;
            t.Kind = width == 4 ? LeafTask::NeighbourQuad : LeafTask::NeighbourPair;
            for (uint32_t d = 0; d < width; ++d) {
                taken[static_cast<std::size_t>(members[d])] = true;
                t.At[d] = leaves[static_cast<std::size_t>(members[d])].At[0];
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

}  // namespace

// Orders the leaves by the cache lines they write: a leaf of 2^L values (L <= 5) with its bins at
// c + (N >> L) j touches only the lines whose index is congruent to c / (values per line) modulo
// the number of lines in N/32 values, so the leaves of one such class fill the same few lines
// (32 for any N) and finish them before the next class begins. Single leaves of one class and
// size go in unrelated pairs, which a path may run two at once.
std::vector<LeafTask> BuildLeafSchedule(int log2N, int32_t lineBytes) {
    const uint32_t n = uint32_t{1} << log2N;
    std::vector<LeafTask> leaves;
    collectLeaves(log2N, 0, 0, 1, n - 1, leaves);
    leaves = groupNeighbours(leaves, n);
    const uint32_t perLine = static_cast<uint32_t>(
        std::max<int32_t>(1, lineBytes / int32_t{sizeof(std::complex<float>)}));
    const uint32_t span = n / 32;
    const uint32_t classes = std::max<uint32_t>(1, span / perLine);
    const auto key = [&](const LeafTask& t) { return (t.C % span) / perLine % classes; };
    std::stable_sort(leaves.begin(), leaves.end(), [&](const LeafTask& x, const LeafTask& y) {
        if (key(x) != key(y)) {
            return key(x) < key(y);
        }
        return x.Kind != y.Kind ? x.Kind > y.Kind : x.Log2 < y.Log2;
    });
    std::vector<LeafTask> tasks;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        LeafTask t = leaves[i];
        if (t.Kind == LeafTask::Single && i + 1 < leaves.size()) {
            const LeafTask& next = leaves[i + 1];
            if (next.Kind == LeafTask::Single && next.Log2 == t.Log2 && key(next) == key(t)) {
                t.Kind = LeafTask::UnrelatedPair;
                t.At[1] = next.At[0];
                t.CB = next.C;
                ++i;
            }
        }
        tasks.push_back(t);
    }
    return tasks;
}

}  // namespace stemora::fft
