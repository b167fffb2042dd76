// Compares every record-split path this machine can run with the portable one, bit
// for bit, on blocks of every length around the vector step sizes and a few long ones.
// Each block lives in a buffer of exactly its size, so a sanitizer build also catches
// any read or write past a block's end.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "simd/processor.hpp"
#include "spectra/record_split_paths.hpp"
#include "scan_check.hpp"

namespace paths = kestrune::spectra::record_split_paths;

namespace {

struct Path {
    std::string name;
    paths::WideSplit split_wide;
    paths::NarrowWiden widen_narrow;
};

std::vector<Path> vector_paths() {
    std::vector<Path> found;
#if defined(KESTRUNE_VECTOR_X86)
    found.push_back({"sse2", paths::split_wide_sse2, paths::widen_narrow_sse2});
    if (kestrune::simd::processor_has_avx2()) {
        found.push_back({"avx2", paths::split_wide_sse2, paths::widen_narrow_avx2});
    }
#elif defined(KESTRUNE_VECTOR_NEON)
    found.push_back({"neon", paths::split_wide_neon, paths::widen_narrow_neon});
#endif
    return found;
}

// Random words, with every eighth one an awkward float: NaNs (quiet and signalling,
// both signs), infinities, signed zeros, subnormals, the extremes.
std::vector<std::uint8_t> record_bytes(std::size_t size, std::mt19937& random) {
    static const std::uint32_t awkward[] = {0x7fc00000u, 0xffc00001u, 0x7f800001u, 0xff800000u,
                                            0x7f800000u, 0x80000000u, 0x00000000u, 0x00000001u,
                                            0x807fffffu, 0x7f7fffffu, 0x3f800000u};
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t at = 0; at + 4 <= size; at += 4) {
        std::uint32_t word = random();
        if (random() % 8 == 0) word = awkward[random() % std::size(awkward)];
        std::memcpy(bytes.data() + at, &word, 4);
    }
    return bytes;
}

template <class T>
std::unique_ptr<T[]> exact(std::size_t count) {
    return std::make_unique<T[]>(count == 0 ? 1 : count);
}

bool same(const void* a, const void* b, std::size_t bytes) {
    return bytes == 0 || std::memcmp(a, b, bytes) == 0;
}

bool check_wide(const Path& path, std::size_t count, std::mt19937& random) {
    const auto bytes = record_bytes(12 * count, random);
    // The records are copied into a buffer of exactly their size, without slack.
    auto records = exact<std::uint8_t>(12 * count);
    if (count) std::memcpy(records.get(), bytes.data(), bytes.size());
    auto mz = exact<double>(count), expected_mz = exact<double>(count);
    auto intensity = exact<float>(count), expected_intensity = exact<float>(count);
    paths::split_wide_portable(records.get(), count, expected_mz.get(), expected_intensity.get());
    path.split_wide(records.get(), count, mz.get(), intensity.get());
    return same(mz.get(), expected_mz.get(), 8 * count) &&
           same(intensity.get(), expected_intensity.get(), 4 * count);
}

bool check_narrow(const Path& path, std::size_t count, std::mt19937& random) {
    const auto bytes = record_bytes(8 * count, random);
    auto mz = exact<double>(count), expected_mz = exact<double>(count);
    if (count) {
        std::memcpy(mz.get(), bytes.data(), bytes.size());
        std::memcpy(expected_mz.get(), bytes.data(), bytes.size());
    }
    auto intensity = exact<float>(count), expected_intensity = exact<float>(count);
    paths::widen_narrow_portable(expected_mz.get(), count, expected_intensity.get());
    path.widen_narrow(mz.get(), count, intensity.get());
    return same(mz.get(), expected_mz.get(), 8 * count) &&
           same(intensity.get(), expected_intensity.get(), 4 * count);
}

// The portable path itself, on values worked out by hand.
bool check_portable_by_hand() {
    std::uint8_t wide[12];
    const double mz = 123.456;
    const float intensity = 7.5f;
    std::memcpy(wide, &mz, 8);
    std::memcpy(wide + 8, &intensity, 4);
    double got_mz = 0;
    float got_intensity = 0;
    paths::split_wide_portable(wide, 1, &got_mz, &got_intensity);
    if (got_mz != mz || got_intensity != intensity) return false;

    const float narrow[2] = {250.25f, -3.0f};
    double storage[1];
    std::memcpy(storage, narrow, 8);
    paths::widen_narrow_portable(storage, 1, &got_intensity);
    return storage[0] == 250.25 && got_intensity == -3.0f;
}

}  // namespace

int main() {
    int failures = check_portable_by_hand() ? 0 : 1;
    if (failures) std::puts("portable path: wrong answer on the hand-worked records");
    std::mt19937 random(20261209);
    std::vector<std::size_t> counts;
    for (std::size_t count = 0; count <= 40; ++count) counts.push_back(count);
    for (std::size_t count : {1000u, 32767u, 32768u, 32769u, 199999u}) counts.push_back(count);
    const auto found = vector_paths();
    for (const Path& path : found) {
        for (const std::size_t count : counts) {
            if (!check_wide(path, count, random)) {
                std::printf("%s: wide split differs at count %zu\n", path.name.c_str(), count);
                ++failures;
            }
            if (!check_narrow(path, count, random)) {
                std::printf("%s: narrow widening differs at count %zu\n", path.name.c_str(), count);
                ++failures;
            }
        }
    }
    std::printf("record split: %zu vector path(s) (%s) checked against the portable one, %d failure(s)\n",
                found.size(), scan_check::names_of(found).c_str(), failures);
    return failures == 0 ? 0 : 1;
}
