// Windows keeps the behaviour the panel always had here: any regular file at the path is
// read, and the file is written as ImGui would write it. Ownership on Windows is an
// access-control list rather than an owner and mode bits, and the working directory of a
// desktop application is the user's own; the checks of the POSIX side have no direct
// counterpart worth guessing at.
#include "own_file.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>

struct OwnFile::Handle {
    std::ifstream in;
};

OwnFile::OwnFile(const char* path, Links) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status))
        return;
    current = State::refused;
    if (!fs::is_regular_file(status)) {
        why = "不是普通文件";
        return;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    handle = std::make_unique<Handle>();
    handle->in.open(path, std::ios::binary);
    if (error || !handle->in) {
        why = "无法读取";
        return;
    }
    bytes = static_cast<std::size_t>(size);
    current = State::opened;
}

OwnFile::~OwnFile() = default;

bool OwnFile::read(unsigned char* into) {
    if (current == State::opened &&
        !handle->in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(bytes))) {
        current = State::refused;
        why = "无法读取";
    }
    return current == State::opened;
}

std::string writeOwnFile(const char* path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(text.data(), static_cast<std::streamsize>(text.size())) || !out.flush())
        return "无法写入";
    return {};
}
