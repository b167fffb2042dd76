// Checks the file source against the rules every system must keep alike: the error
// numbers of a missing path and of a directory, lengths, short and exact reads at
// offsets, and a file that another process may still write, rename or delete.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "io/byte_source.hpp"

namespace fs = std::filesystem;
using kestrune::io::FileSource;
using kestrune::io::OsError;

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        std::printf("byte source: %s\n", what);
        ++failures;
    }
}

void write_file(const fs::path& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t k = 0; k < size; ++k) out.put(static_cast<char>(k * 7));
}

void check_failures_to_open(const fs::path& folder) {
    OsError error;
    expect(!FileSource::open((folder / "absent.raw").string(), error) && error.code == ENOENT,
           "a missing file fails with ENOENT");
    expect(!FileSource::open(std::string("a\0b", 3), error) && error.code == 0 && !error.fixed_message.empty(),
           "a path with NUL fails with the fixed message");
    const auto directory = FileSource::open(folder.string(), error);
    std::uint8_t byte = 0;
    expect(directory && !directory->length(), "a directory opens with no length");
    expect(directory && !directory->read_exact_at(0, {&byte, 1}, error) && error.code == EISDIR,
           "reading a directory fails with EISDIR");
}

void check_reads(const fs::path& folder) {
    const fs::path path = folder / "file.raw";
    write_file(path, 1000);
    std::ofstream writer(path, std::ios::binary | std::ios::app);  // still open for writing elsewhere
    OsError error;
    const auto file = FileSource::open(path.string(), error);
    expect(file && file->length() == 1000u, "a regular file opens with its length while being written");
    if (!file) return;
    std::vector<std::uint8_t> bytes(300);
    for (const std::uint64_t offset : {0u, 1u, 699u, 700u, 999u, 1000u, 5000u}) {
        const std::size_t expected = offset >= 1000 ? 0 : std::min<std::size_t>(300, 1000 - offset);
        expect(file->read_at(offset, bytes) == expected, "read_at comes up short only where the file ends");
        expect(expected == 0 || bytes[0] == static_cast<std::uint8_t>(offset * 7), "read_at reads at its offset");
        expect(file->read_exact_at(offset, bytes, error) == (expected == 300), "read_exact_at fills all or fails");
        expect(expected == 300 || error.fixed_message == "failed to fill whole buffer",
               "read_exact_at past the end names the short read");
    }
    writer.close();
    std::error_code removed;
    fs::remove(path, removed);
    expect(!removed, "an open file can be deleted by another process");
    expect(file->read_at(0, bytes) == 300u, "a deleted file stays readable through an open source");
}

}  // namespace

int main() {
    const fs::path folder = fs::temp_directory_path() / ("kestrune-byte-source-" + std::to_string(std::rand()));
    fs::create_directories(folder);
    check_failures_to_open(folder);
    check_reads(folder);
    fs::remove_all(folder);
    std::printf("byte source: %d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
