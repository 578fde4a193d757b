#include "font_search.h"

#include <stdio.h>

#include <filesystem>
#include <memory>
#include <string>

namespace {

// Where the Debian package installs the font.
const char* const installedDataFolder = "/usr/share/sondrel-capture";

std::string programFolder() {
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : program.parent_path().string();
}

struct PipeCloser {
    void operator()(FILE* pipe) const { pclose(pipe); }
};

// Fontconfig's choice for Simplified Chinese. Its standard input is closed and its
// errors dropped: it must neither read our commands nor write to our parent.
std::string systemChineseFont() {
    std::unique_ptr<FILE, PipeCloser> pipe(
        popen("fc-match -f '%{file}\\n%{lang}\\n' ':lang=zh-cn' </dev/null 2>/dev/null", "r"));
    if (!pipe)
        return {};
    std::string output;
    char chunk[4096];
    for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
        output.append(chunk, got);
    return chineseFontFromMatch(output);
}

} // namespace

FontPlaces panelFontPlaces() {
    static const std::string systemFont = systemChineseFont();
    return {programFolder(), installedDataFolder, systemFont};
}
