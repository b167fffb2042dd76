// What the checks of the two scans with vector paths (the marker search's pair scan,
// the text-run walk's unit search) share: a path by name, a buffer holding exactly
// the bytes a scan may read, and the closing line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace scan_check {

template <class Scan>
struct Path {
    std::string name;
    Scan scan;
};

// A copy of `bytes` in a buffer of exactly their size (one byte for none), so that a
// sanitizer build catches any read past them.
inline std::unique_ptr<std::uint8_t[]> exact_copy(const std::vector<std::uint8_t>& bytes) {
    auto exact = std::make_unique<std::uint8_t[]>(bytes.empty() ? 1 : bytes.size());
    if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
    return exact;
}

// The paths' names, comma-separated: which ones this processor ran.
template <class Named>
std::string names_of(const std::vector<Named>& paths) {
    std::string names;
    for (const Named& path : paths) names += (names.empty() ? "" : ", ") + path.name;
    return names;
}

// Prints the summary, naming the paths, and gives main's exit status.
template <class Scan>
int finish(const char* check, const std::vector<Path<Scan>>& paths, long scans, const char* reference,
           int failures) {
    std::printf("%s: %zu path(s) (%s), %ld scans checked against the %s, %d failure(s)\n", check, paths.size(),
                names_of(paths).c_str(), scans, reference, failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace scan_check
