// Compares every pair-scan path this machine can run with the plainest possible
// loop, on data from holes with rare planted bytes to runs of a four-letter alphabet
// where both bytes turn up at every few positions. Each buffer holds exactly the
// bytes a scan may read, so a sanitizer build also catches any read past them.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "simd/pair_scan_paths.hpp"
#include "simd/processor.hpp"
#include "scan_check.hpp"

namespace paths = kestrune::simd::pair_scan_paths;
using kestrune::simd::BytePair;

namespace {

using Path = scan_check::Path<paths::PairScan>;

std::vector<Path> all_paths() {
    std::vector<Path> found = {{"portable", paths::next_pair_portable}};
#if defined(KESTRUNE_VECTOR_X86)
    found.push_back({"sse2", paths::next_pair_sse2});
    if (kestrune::simd::processor_has_avx2()) found.push_back({"avx2", paths::next_pair_avx2});
#elif defined(KESTRUNE_VECTOR_NEON)
    found.push_back({"neon", paths::next_pair_neon});
#endif
    return found;
}

std::size_t plain_scan(const std::uint8_t* data, std::size_t from, std::size_t end, const BytePair& pair) {
    for (std::size_t p = from; p < end; ++p) {
        if (data[p + pair.anchor_offset] == pair.anchor && data[p + pair.second_offset] == pair.second) return p;
    }
    return end;
}

// Bytes where each of anchor and second stands with probability `density`.
std::vector<std::uint8_t> data_for(std::size_t size, const BytePair& pair, double density,
                                   std::uint8_t filler, std::mt19937& random) {
    std::vector<std::uint8_t> bytes(size, filler);
    std::bernoulli_distribution plant(density);
    for (auto& byte : bytes) {
        if (plant(random)) byte = pair.anchor;
        else if (plant(random)) byte = pair.second;
    }
    return bytes;
}

}  // namespace

int main() {
    std::mt19937 random(20261209);
    const auto found = all_paths();
    int failures = 0;
    long scans = 0;
    const double densities[] = {0.0, 0.0005, 0.01, 0.1, 0.4};
    for (int round = 0; round < 4000; ++round) {
        BytePair pair{random() % 30, static_cast<std::uint8_t>(random()), random() % 30,
                      static_cast<std::uint8_t>(random())};
        if (round % 7 == 0) pair.second_offset = pair.anchor_offset;  // a one-byte filter
        if (round % 11 == 0) pair.second = pair.anchor;
        const std::size_t starts = random() % (round % 3 == 0 ? 5000 : 400);
        const std::size_t reach = std::max(pair.anchor_offset, pair.second_offset);
        const std::uint8_t filler = round % 2 ? 0 : static_cast<std::uint8_t>(random());
        const auto bytes = data_for(starts + reach, pair, densities[round % 5], filler, random);
        const auto exact = scan_check::exact_copy(bytes);
        for (int trial = 0; trial < 4; ++trial) {
            std::size_t from = starts ? random() % (starts + 1) : 0;
            if (trial == 0) from = 0;
            // Walk every candidate from `from`, as the marker search does.
            while (true) {
                const std::size_t expected = plain_scan(exact.get(), from, starts, pair);
                for (const Path& path : found) {
                    ++scans;
                    const std::size_t got = path.scan(exact.get(), from, starts, pair);
                    if (got != expected) {
                        std::printf("%s: from %zu of %zu starts found %zu, expected %zu\n",
                                    path.name.c_str(), from, starts, got, expected);
                        ++failures;
                    }
                }
                if (expected == starts || failures > 20) break;
                from = expected + 1;
            }
        }
    }
    return scan_check::finish("pair scan", found, scans, "plain loop", failures);
}
