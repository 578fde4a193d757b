#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

// A fresh folder of its own under /tmp, removed with everything in it when the object
// goes. A test may take the write permission away from it (or from a folder inside);
// the owner's rights are given back before removal, so that nothing is left behind.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "sondrel-test") : path(make(prefix)) {}
    ~TempDir() {
        std::error_code ignored;
        ::chmod(path.c_str(), 0700);
        // Each folder is opened only after it has been visited, so its rights come first.
        for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
            if (it->is_directory(ignored) && !it->is_symlink(ignored))
                ::chmod(it->path().c_str(), 0700);
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return path + "/" + name; }
    std::filesystem::path operator/(const std::string& name) const { return std::filesystem::path(path) / name; }

    const std::string path;

private:
    static std::string make(const std::string& prefix) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
        return pattern;
    }
};
