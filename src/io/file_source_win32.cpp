// The file source on Windows: a handle opened from the UTF-16 form of the path, read
// at an offset. Windows' errors become the C library's numbers, so that a failure
// reaches Python as the same exception with the same text as elsewhere.
#include "io/byte_source.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kestrune::io {

namespace {

constexpr std::size_t largest_read = std::size_t{1} << 30;

int errno_for(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_DIRECTORY: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_NETWORK_ACCESS_DENIED: return EACCES;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_INVALID_PARAMETER:
        case ERROR_NO_UNICODE_TRANSLATION: return EINVAL;
        case ERROR_OPERATION_ABORTED: return EINTR;
        case ERROR_BROKEN_PIPE: return EPIPE;
        case ERROR_PIPE_BUSY: return EAGAIN;
        default: return EIO;
    }
}

// The path as Windows takes it; nullopt for bytes that are not UTF-8.
std::optional<std::wstring> wide_path(const std::string& path) {
    if (path.empty()) return std::wstring();
    const int size = static_cast<int>(std::min<std::size_t>(path.size(), 0x7fffffff));
    const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
    if (units <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, wide.data(), units);
    return wide;
}

bool is_directory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The length of a file on disk; nullopt for a pipe, a console or a device.
std::optional<std::uint64_t> disk_file_length(HANDLE handle) {
    LARGE_INTEGER size{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &size) || size.QuadPart < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

}  // namespace

std::optional<FileSource> FileSource::open_native(const std::string& path, OsError& error) {
    const auto wide = wide_path(path);
    if (!wide) {
        error = {EINVAL, {}};
        return std::nullopt;
    }
    // Shared for writing and deleting too: the acquisition software may still be
    // writing the file, and reading must not stop it renaming or removing it.
    const HANDLE handle = ::CreateFileW(wide->c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        // A directory opens elsewhere and fails at its first read: the same here.
        if (code == ERROR_ACCESS_DENIED && is_directory(*wide)) return FileSource(nullptr, std::nullopt);
        error = {errno_for(code), {}};
        return std::nullopt;
    }
    return FileSource(handle, disk_file_length(handle));
}

FileSource::FileSource(FileSource&& other) noexcept : handle_(other.handle_), length_(other.length_) {
    other.handle_ = nullptr;
}

FileSource::~FileSource() {
    if (handle_) ::CloseHandle(handle_);
}

std::optional<std::size_t> FileSource::read_some(std::uint64_t offset, std::span<std::uint8_t> out,
                                                 int& error) const {
    if (!handle_) {
        error = EISDIR;
        return std::nullopt;
    }
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const auto asked = static_cast<DWORD>(std::min(out.size(), largest_read));
    if (::ReadFile(handle_, out.data(), asked, &got, &at)) return got;
    const DWORD code = ::GetLastError();
    if (code == ERROR_HANDLE_EOF) return 0;
    error = errno_for(code);
    return std::nullopt;
}

}  // namespace kestrune::io
