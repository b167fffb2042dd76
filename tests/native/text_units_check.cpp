// Compares every text-unit scan path this machine can run with the portable one, on
// units from holes of zeros with rare planted text to dense mixtures of control
// units, ASCII, units around 256 and surrogates, for the ranges of both log scans
// and random ones. Each buffer holds exactly the bytes a scan may read, so a
// sanitizer build also catches any read past them.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "simd/processor.hpp"
#include "scan_check.hpp"
#include "simd/text_units_paths.hpp"

namespace paths = kestrune::simd::text_units_paths;
using kestrune::simd::UnitRange;

namespace {

using Path = scan_check::Path<paths::UnitScan>;

std::vector<Path> all_paths() {
    std::vector<Path> found = {{"portable", paths::next_unit_portable}};
#if defined(KESTRUNE_VECTOR_X86)
    found.push_back({"sse2", paths::next_unit_sse2});
    if (kestrune::simd::processor_has_avx2()) found.push_back({"avx2", paths::next_unit_avx2});
#elif defined(KESTRUNE_VECTOR_NEON)
    found.push_back({"neon", paths::next_unit_neon});
#endif
    return found;
}

// Values at and beside the edges of the ranges, where a signed or off-by-one
// comparison would go wrong.
constexpr std::uint16_t edge_units[] = {0, 1, 31, 32, 33, 126, 127, 255, 256, 257,
                                        0x7FFF, 0x8000, 0xD800, 0xDFFF, 0xFFFE, 0xFFFF};

UnitRange range_for(int round, std::mt19937& random) {
    switch (round % 4) {
        case 0: return {32, 126};     // the status log's printable ASCII
        case 1: return {32, 0xFFFF};  // the error log's any text unit
        default: {
            auto a = static_cast<std::uint16_t>(random()), b = static_cast<std::uint16_t>(random());
            if (round % 8 == 2) a = edge_units[random() % std::size(edge_units)], b = a;
            return {std::min(a, b), std::max(a, b)};
        }
    }
}

// `count` units of zeros, each replaced with probability `density` by an edge unit,
// a unit of the range or any unit.
std::vector<std::uint8_t> units_for(std::size_t count, UnitRange range, double density, std::mt19937& random) {
    std::vector<std::uint8_t> bytes(2 * count, 0);
    std::bernoulli_distribution plant(density);
    for (std::size_t i = 0; i < count; ++i) {
        if (!plant(random)) continue;
        std::uint16_t unit = static_cast<std::uint16_t>(random());
        if (random() % 3 == 0) unit = edge_units[random() % std::size(edge_units)];
        else if (random() % 2 == 0) unit = static_cast<std::uint16_t>(range.low + random() % (range.high - range.low + 1u));
        bytes[2 * i] = static_cast<std::uint8_t>(unit);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(unit >> 8);
    }
    return bytes;
}

}  // namespace

int main() {
    std::mt19937 random(20261209);
    const auto found = all_paths();
    int failures = 0;
    long scans = 0;
    const double densities[] = {0.0, 0.001, 0.02, 0.2, 0.9};
    for (int round = 0; round < 4000; ++round) {
        const UnitRange range = range_for(round, random);
        const std::size_t count = random() % (round % 3 == 0 ? 3000 : 200);
        const auto bytes = units_for(count, range, densities[round % 5], random);
        const auto exact = scan_check::exact_copy(bytes);
        for (int trial = 0; trial < 4; ++trial) {
            std::size_t from = count ? random() % (count + 1) : 0;
            if (trial == 0) from = 0;
            // Walk every hit from `from`, as the text-run scan does.
            while (true) {
                const std::size_t expected = paths::next_unit_portable(exact.get(), from, count, range);
                for (const Path& path : found) {
                    ++scans;
                    // A slice ending early: the path must not see the units after it.
                    const std::size_t end = trial == 3 ? expected : count;
                    const std::size_t want = trial == 3 ? end : expected;
                    const std::size_t got = path.scan(exact.get(), from, end, range);
                    if (got != want) {
                        std::printf("%s: range [%u, %u] from %zu to %zu found %zu, expected %zu\n",
                                    path.name.c_str(), unsigned{range.low}, unsigned{range.high}, from,
                                    end, got, want);
                        ++failures;
                    }
                }
                if (expected == count || failures > 20) break;
                from = expected + 1;
            }
        }
    }
    return scan_check::finish("text units", found, scans, "portable path", failures);
}
