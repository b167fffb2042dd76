#include "runpass/window_sums.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "runpass/vector_registers.hpp"

namespace kestrune::runpass {

namespace {

using namespace vector_registers;

// NaN sorts last, as in NumPy's sort.
bool mz_before(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// The first position whose m/z is not below `bound` in ascending m/z without NaN:
// a binary search without branches on the data, which would mispredict half the time.
std::size_t first_not_below(const double* mz, std::size_t count, double bound) {
    const double* base = mz;
    std::size_t length = count;
    while (length > 1) {
        const std::size_t half = length / 2;
        base = base[half - 1] < bound ? base + half : base;
        length -= half;
    }
    return static_cast<std::size_t>(base - mz) + (length == 1 && *base < bound);
}

// The first position from `from` on whose m/z is not below `bound`, in ascending m/z
// without NaN, every m/z before `from` being below it: steps of 1, 2, 4, ... until one
// lands at or above the bound, then a binary search within the last step. About twice
// the logarithm of the distance: bounds dense among the peaks cost about what a merge
// walk costs, sparse ones about what a binary search over all the peaks costs.
std::size_t next_not_below(const double* mz, std::size_t count, std::size_t from, double bound) {
    std::size_t low = from, step = 1;  // every m/z before `low` is below the bound
    while (low + step <= count && mz[low + step - 1] < bound) {
        low += step;
        step *= 2;
    }
    const std::size_t high = std::min(count, low + step - 1);  // at or above the bound, or the end
    return low + first_not_below(mz + low, high - low, bound);
}

// How many of the `block` m/z from `mz` on are below `bound`: a fixed amount of work
// without branches on the data.
template <std::size_t block>
std::size_t block_below(const double* mz, double bound) {
    static_assert(block % 2 == 0);
    const Doubles wanted = {bound, bound};
    DoubleMask below = {0, 0};
    for (std::size_t k = 0; k < block; k += 2) below += load<Doubles>(mz + k) < wanted;  // -1 where true
    return static_cast<std::size_t>(-(below[0] + below[1]));
}

constexpr std::size_t sample_stride = 16;  // peaks per entry of the table of m/z
constexpr std::size_t sample_reach = 8;    // table entries a bound's step looks at
constexpr std::size_t merge_streams = 4;   // runs of bounds merged side by side

// A table of every 16th m/z, padded with infinities for the steps past its end.
struct SampleTable {
    SampleTable(const double* mz, std::size_t count, std::vector<double>& storage)
        : entries((count + sample_stride - 1) / sample_stride), values(storage) {
        values.assign(entries + sample_reach, std::numeric_limits<double>::infinity());
        for (std::size_t k = 0; k < entries; ++k) values[k] = mz[k * sample_stride];
    }
    std::size_t entries;
    std::vector<double>& values;
};

// One bound's step of the merge: `entry` (the table's entries below the bound before
// it, at most) moves on to those below this one, counted among the next eight (and
// searched on only when all eight are), then the bound's position among the 16 peaks
// the table leaves it among.
std::size_t merge_step(const double* mz, std::size_t count, const SampleTable& table, double value,
                       std::size_t& entry) {
    const std::size_t below = block_below<sample_reach>(table.values.data() + entry, value);
    entry += below;
    if (below == sample_reach) entry += first_not_below(table.values.data() + entry, table.entries - entry, value);
    if (entry == 0) return 0;
    const std::size_t from = (entry - 1) * sample_stride;
    return from + (from + sample_stride <= count ? block_below<sample_stride>(mz + from, value)
                                                 : first_not_below(mz + from, count - from, value));
}

// Where a window's high bound falls, from where its low bound fell: a window holds a
// few peaks as a rule, so the four from there are looked at first. A high bound below
// the low one falls there too: the window is empty either way. This and add_window
// are inlined into the merge's loop, which they otherwise take nearly twice as long.
__attribute__((always_inline)) inline std::size_t high_position(const double* mz, std::size_t count, std::size_t low, double high) {
    constexpr std::size_t first_look = 4;
    if (low + first_look <= count) {
        const std::size_t below = block_below<first_look>(mz + low, high);
        if (below < first_look) return low + below;
        low += first_look;
    }
    return next_not_below(mz, count, low, high);
}

// Adds a window's summed intensity, its low bound's position known.
__attribute__((always_inline)) inline void add_window(const double* mz, const float* intensity, std::size_t count, const Windows& windows,
                std::uint32_t w, std::size_t low, double* out, std::size_t out_stride) {
    const std::size_t high = high_position(mz, count, low, windows.bounds[2 * w + 1]);
    double sum = 0.0;
    for (std::size_t k = low; k < high; ++k) sum += intensity[k];
    out[w * out_stride] += sum;
}

// Windows whose low bounds are dense among the peaks (galloping would mispredict a
// branch at nearly every window): the low bounds in ascending order, merged with the
// peaks by merge steps, cut into four runs merged side by side, as each step waits on
// the one before it in its run.
void merged_window_sums(const double* mz, const float* intensity, std::size_t count, const Windows& windows,
                        double* out, std::size_t out_stride, std::vector<double>& sample) {
    const SampleTable table(mz, count, sample);
    const std::vector<std::uint32_t>& order = windows.ascending_lows;
    const auto step = [&](std::uint32_t w, std::size_t& entry) {
        const std::size_t low = merge_step(mz, count, table, windows.bounds[2 * w], entry);
        add_window(mz, intensity, count, windows, w, low, out, out_stride);
    };
    const std::size_t run = order.size() / merge_streams;
    std::array<std::size_t, merge_streams> entry{};
    for (std::size_t s = 0; s < merge_streams && run; ++s) {
        entry[s] = first_not_below(table.values.data(), table.entries, windows.bounds[2 * order[s * run]]);
    }
    for (std::size_t j = 0; j < run; ++j) {
        for (std::size_t s = 0; s < merge_streams; ++s) step(order[s * run + j], entry[s]);
    }
    for (std::size_t k = merge_streams * run; k < order.size(); ++k) step(order[k], entry[merge_streams - 1]);
}

// Windows whose low bounds are sparse among the peaks: each low bound searched from
// where the one below it fell.
void galloped_window_sums(const double* mz, const float* intensity, std::size_t count, const Windows& windows,
                          double* out, std::size_t out_stride) {
    std::size_t low = 0;
    for (const std::uint32_t w : windows.ascending_lows) {
        low = next_not_below(mz, count, low, windows.bounds[2 * w]);
        add_window(mz, intensity, count, windows, w, low, out, out_stride);
    }
}

// Each window's peaks found from where its low bound falls, every low bound by
// whichever search costs less for bounds this dense among these peaks: about what a
// merge of the peaks with the low bounds costs, and a few steps more per window.
void sorted_window_sums(const double* mz, const float* intensity, std::size_t count, const Windows& windows,
                        double* out, std::size_t out_stride, WindowScratch& scratch) {
    constexpr std::size_t dense_gap = 64;  // peaks per low bound, at most, where merging wins
    if (count <= windows.count() * dense_gap) {
        return merged_window_sums(mz, intensity, count, windows, out, out_stride, scratch.sample);
    }
    galloped_window_sums(mz, intensity, count, windows, out, out_stride);
}

}  // namespace

Windows::Windows(std::vector<double> values) : bounds(std::move(values)), ascending_lows(count()) {
    for (std::size_t w = 0; w < ascending_lows.size(); ++w) ascending_lows[w] = static_cast<std::uint32_t>(w);
    std::sort(ascending_lows.begin(), ascending_lows.end(),
              [this](std::uint32_t a, std::uint32_t b) { return bounds[2 * a] < bounds[2 * b]; });
}

void window_sums(const double* mz, const float* intensity, std::size_t count, bool sorted,
                 const Windows& windows, double* out, std::size_t out_stride, WindowScratch& scratch) {
    if (sorted) return sorted_window_sums(mz, intensity, count, windows, out, out_stride, scratch);
    scratch.order.resize(count);
    for (std::size_t k = 0; k < count; ++k) scratch.order[k] = static_cast<std::uint32_t>(k);
    std::stable_sort(scratch.order.begin(), scratch.order.end(),
                     [mz](std::uint32_t a, std::uint32_t b) { return mz_before(mz[a], mz[b]); });
    scratch.mz.resize(count);
    scratch.intensity.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        scratch.mz[k] = mz[scratch.order[k]];
        scratch.intensity[k] = intensity[scratch.order[k]];
    }
    // NaNs sort last, and no bound is NaN: only the peaks before them can count.
    const auto numbers = static_cast<std::size_t>(
        std::find_if(scratch.mz.begin(), scratch.mz.end(), [](double v) { return std::isnan(v); }) - scratch.mz.begin());
    sorted_window_sums(scratch.mz.data(), scratch.intensity.data(), numbers, windows, out, out_stride, scratch);
}

}  // namespace kestrune::runpass
