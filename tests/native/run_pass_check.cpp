// Compares the run-level pass's statistics and window sums with the plainest loops that follow the same
// rules, on peak lists of every small length and larger random ones: sorted and
// shuffled m/z, ties, planted NaNs, windows between peaks and over everything. Each
// array holds exactly its peaks, so a sanitizer build catches any read past them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "runpass/statistics_paths.hpp"
#include "runpass/window_sums.hpp"
#include "spectra/record_split_paths.hpp"

namespace rp = kestrune::runpass;
namespace paths = kestrune::runpass::statistics_paths;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

double plain_lane_sum(const std::vector<float>& values) {
    double lanes[rp::sum_lanes] = {};
    const std::size_t whole = values.size() / rp::sum_lanes * rp::sum_lanes;
    for (std::size_t k = 0; k < whole; ++k) lanes[k % rp::sum_lanes] += values[k];
    double sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
    for (std::size_t k = whole; k < values.size(); ++k) sum += values[k];
    return sum;
}

std::size_t plain_first_largest(const std::vector<float>& values) {
    std::size_t best = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (std::isnan(values[k])) return k;
        if (values[k] > values[best]) best = k;
    }
    return best;
}

// Every peak tested against every window, in a stable NaN-last order of m/z.
std::vector<double> plain_window_sums(const std::vector<double>& mz, const std::vector<float>& intensity,
                                      const std::vector<double>& bounds) {
    std::vector<std::size_t> order(mz.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return mz[a] < mz[b] || (std::isnan(mz[b]) && !std::isnan(mz[a]));
    });
    std::vector<double> sums(bounds.size() / 2, 0.0);
    for (std::size_t w = 0; w < sums.size(); ++w) {
        for (std::size_t k : order) {
            if (!std::isnan(mz[k]) && mz[k] >= bounds[2 * w] && mz[k] < bounds[2 * w + 1]) sums[w] += intensity[k];
        }
    }
    return sums;
}

struct Case {
    std::vector<double> mz;
    std::vector<float> intensity;
};

Case random_case(std::size_t count, bool sorted, double nan_rate, std::mt19937& random) {
    std::uniform_real_distribution<double> mz(150.0, 2000.0);
    std::gamma_distribution<float> intensity(2.0f, 5e4f);
    std::bernoulli_distribution plant(nan_rate), tie(0.05);
    Case made;
    for (std::size_t k = 0; k < count; ++k) {
        made.mz.push_back(k && tie(random) ? made.mz.back() : std::round(mz(random) * 100) / 100);
        made.intensity.push_back(k && tie(random) ? made.intensity.back() : intensity(random));
    }
    if (sorted) std::sort(made.mz.begin(), made.mz.end());
    for (std::size_t k = 0; k < count; ++k) {
        if (plant(random)) made.mz[k] = nan;
        if (plant(random)) made.intensity[k] = std::numeric_limits<float>::quiet_NaN();
    }
    return made;
}

std::vector<double> random_bounds(const Case& peaks, std::mt19937& random) {
    std::vector<double> bounds = {0.0, 1e9, 100.0, 150.0, 2000.5, 3000.0};  // everything, below, above
    std::uniform_real_distribution<double> centre(140.0, 2010.0), width(0.0, 30.0);
    for (int w = 0; w < 20; ++w) {
        const double c = centre(random), h = width(random);
        bounds.push_back(c - h);
        bounds.push_back(std::nextafter(c + h, 1e300));
    }
    if (!peaks.mz.empty() && !std::isnan(peaks.mz[0])) {  // exactly one peak's m/z, both ends inclusive
        bounds.push_back(peaks.mz[0]);
        bounds.push_back(std::nextafter(peaks.mz[0], 1e300));
    }
    return bounds;
}

// Every path of summarise this processor runs.
std::vector<paths::Summarise> summarise_paths() {
    std::vector<paths::Summarise> found = {paths::summarise_portable};
#if defined(KESTRUNE_VECTOR_X86)
    if (kestrune::simd::processor_has_avx2()) found.push_back(paths::summarise_avx2);
#endif
    return found;
}

int check_summary(const Case& peaks, paths::Summarise summarise) {
    const std::size_t n = peaks.mz.size();
    const rp::PeakSummary summary = summarise(peaks.mz.data(), peaks.intensity.data(), n);
    int failures = 0;
    if (n) {
        const std::size_t top = plain_first_largest(peaks.intensity);
        const bool any_nan = std::any_of(peaks.mz.begin(), peaks.mz.end(), [](double v) { return std::isnan(v); });
        const double lowest = any_nan ? nan : *std::min_element(peaks.mz.begin(), peaks.mz.end());
        const double highest = any_nan ? nan : *std::max_element(peaks.mz.begin(), peaks.mz.end());
        const bool ok = summary.count == n && same(summary.tic, plain_lane_sum(peaks.intensity)) &&
                        same(summary.base_peak_mz, peaks.mz[top]) &&
                        same(summary.base_peak_intensity, peaks.intensity[top]) &&
                        same(summary.lowest_mz, lowest) && same(summary.highest_mz, highest) &&
                        summary.ascending == (!any_nan && std::is_sorted(peaks.mz.begin(), peaks.mz.end()));
        if (!ok) {
            std::printf("summary differs for %zu peaks\n", n);
            ++failures;
        }
    }
    return failures;
}

#if defined(KESTRUNE_VECTOR_X86)
bool same_summary(const rp::PeakSummary& a, const rp::PeakSummary& b) {
    return a.count == b.count && same(a.tic, b.tic) && same(a.base_peak_mz, b.base_peak_mz) &&
           same(a.base_peak_intensity, b.base_peak_intensity) && same(a.lowest_mz, b.lowest_mz) &&
           same(a.highest_mz, b.highest_mz) && a.ascending == b.ascending;
}
#endif

// The split that gathers the statistics, in chunks of random multiples of eight records
// as a block's reading hands them over: the same bits as the portable split, the same
// statistics as the portable path.
int check_summarising_split(const Case& peaks, std::mt19937& random) {
#if defined(KESTRUNE_VECTOR_X86)
    const std::size_t n = peaks.mz.size();
    if (!kestrune::simd::processor_has_avx2() || n == 0) return 0;
    std::vector<std::uint8_t> records(12 * n);
    for (std::size_t k = 0; k < n; ++k) {
        std::memcpy(&records[12 * k], &peaks.mz[k], 8);
        std::memcpy(&records[12 * k + 8], &peaks.intensity[k], 4);
    }
    std::vector<double> mz(n), plain_mz(n);
    std::vector<float> intensity(n), plain_intensity(n);
    kestrune::spectra::record_split_paths::split_wide_portable(records.data(), n, plain_mz.data(),
                                                               plain_intensity.data());
    for (const bool eights : {false, true}) {  // every 16th record a chunk's first, or at random
        paths::LaneCarry carry;
        for (std::size_t first = 0; first < n;) {
            const std::size_t chunk = std::min<std::size_t>(n - first, eights ? 16 : 8 * (random() % 40));
            paths::split_wide_summarising_avx2(carry, records.data() + 12 * first, first, chunk, mz.data(),
                                               intensity.data());
            first += chunk;
        }
        const bool split_same = std::memcmp(mz.data(), plain_mz.data(), 8 * n) == 0 &&
                                std::memcmp(intensity.data(), plain_intensity.data(), 4 * n) == 0;
        if (!split_same || !same_summary(paths::summary_of_lanes(carry, mz.data(), intensity.data(), n),
                                         paths::summarise_portable(peaks.mz.data(), peaks.intensity.data(), n))) {
            std::printf("the summarising split differs for %zu peaks\n", n);
            return 1;
        }
    }
#else
    (void)peaks;
    (void)random;
#endif
    return 0;
}

// Windows at `targets` points spread evenly over the peaks' range, each `ppm` wide
// around its point, then a wide one, an inverted one (its high bound below its low
// one) and two that overlap: as dense among the peaks as the targets make them.
std::vector<double> spread_bounds(std::size_t targets, double ppm) {
    std::vector<double> bounds;
    for (std::size_t t = 0; t < targets; ++t) {
        const double centre = 150.0 + 1850.0 * static_cast<double>(t) / static_cast<double>(targets - 1);
        bounds.push_back(centre - centre * ppm * 1e-6);
        bounds.push_back(std::nextafter(centre + centre * ppm * 1e-6, 1e300));
    }
    for (const double bound : {400.0, 460.0, 900.0, 899.0, 500.0, 520.0, 510.0, 530.0}) bounds.push_back(bound);
    return bounds;
}

// Peaks spread evenly over m/z 150 to 2000, or at random within that range.
Case spread_case(std::size_t count, bool even, std::mt19937& random) {
    Case made = random_case(count, true, 0.0, random);
    if (even) {
        for (std::size_t k = 0; k < count; ++k) {
            made.mz[k] = 150.0 + 1850.0 * static_cast<double>(k) / static_cast<double>(count - 1);
        }
    }
    return made;
}

int check_window_sums(const Case& peaks, const std::vector<double>& bounds, bool sorted) {
    int failures = 0;
    const std::size_t n = peaks.mz.size();
    const auto expected = plain_window_sums(peaks.mz, peaks.intensity, bounds);
    std::vector<double> sums(expected.size(), 0.0);
    rp::WindowScratch scratch;
    rp::window_sums(peaks.mz.data(), peaks.intensity.data(), n, sorted, rp::Windows(bounds), sums.data(), 1,
                    scratch);
    for (std::size_t w = 0; w < expected.size(); ++w) {
        if (!same(sums[w], expected[w])) {
            std::printf("window %zu of %zu peaks (sorted %d): %.17g, plainly %.17g\n", w, n, int(sorted), sums[w],
                        expected[w]);
            ++failures;
        }
    }
    return failures;
}

int check(const Case& peaks, std::mt19937& random) {
    int failures = check_summarising_split(peaks, random);
    for (const paths::Summarise path : summarise_paths()) failures += check_summary(peaks, path);
    const std::size_t n = peaks.mz.size();
    const rp::PeakSummary summary = rp::summarise(peaks.mz.data(), peaks.intensity.data(), n);
    return failures + check_window_sums(peaks, random_bounds(peaks, random), summary.ascending);
}

}  // namespace

int main() {
    std::mt19937 random(20261209);
    int failures = 0, cases = 0;
    for (const double nan_rate : {0.0, 0.02}) {
        for (const bool sorted : {true, false}) {
            for (std::size_t count = 0; count <= 40; ++count, ++cases) {
                failures += check(random_case(count, sorted, nan_rate, random), random);
            }
            for (int round = 0; round < 30; ++round, ++cases) {
                failures += check(random_case(random() % 5000, sorted, nan_rate, random), random);
            }
            // Ascending but for one step down, at the start of a chunk.
            for (std::size_t count = 17; count <= 45; count += 7, ++cases) {
                Case stepped = random_case(count, true, 0.0, random);
                stepped.mz[16] = stepped.mz[15] - 1.0;
                failures += check(stepped, random);
            }
            // The largest intensity repeated in every lane, everywhere -inf, last.
            for (std::size_t count = 0; count <= 40; count += 3, cases += 3) {
                Case flat = random_case(count, sorted, nan_rate, random);
                std::fill(flat.intensity.begin(), flat.intensity.end(), 7.0f);
                failures += check(flat, random);
                std::fill(flat.intensity.begin(), flat.intensity.end(), -std::numeric_limits<float>::infinity());
                failures += check(flat, random);
                if (count) flat.intensity.back() = 1.0f;
                failures += check(flat, random);
            }
        }
    }
    // Windows dense and sparse among peaks spread evenly or at random, whichever search
    // each density takes.
    for (const bool even : {true, false}) {
        for (const std::size_t targets : {3, 100, 1000, 3000}) {
            failures += check_window_sums(spread_case(8000, even, random), spread_bounds(targets, 10.0), true);
            ++cases;
        }
    }
    std::printf("run_pass: %d cases, %d failures\n", cases, failures);
    return failures ? 1 : 0;
}
