#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The panel's font in the working directory; the same file name is looked for elsewhere.
inline constexpr const char* panelFontPath = "./SourceHanSansSC-VF.ttf";

// Where the panel's font may be, besides the working directory. Any of them may be
// empty: not known, or none on this system.
struct FontPlaces {
    std::string programFolder; // the folder of the running program
    std::string dataFolder;    // the installed package's data folder
    std::string systemFont;    // a font of the system with Simplified Chinese glyphs
};

// Where a candidate comes from, for the log.
enum class FontOrigin { workingDirectory, programFolder, dataFolder, system };

struct FontCandidate {
    FontOrigin origin;
    std::string path;
};

// The files to try, best first: a font put in the working directory wins (a user or a
// parent may choose it there), then the one shipped beside the program or installed
// with it, then the system's.
std::vector<FontCandidate> panelFontCandidates(const FontPlaces& places);

// The first candidate `usable` accepts; nullptr when none is.
const FontCandidate* chooseFont(const std::vector<FontCandidate>& candidates,
                                const std::function<bool(const FontCandidate&)>& usable);

// The places of this process on this system (font_places.cpp of the platform). The
// system's font is looked up once per process: asking costs a subprocess on Linux.
FontPlaces panelFontPlaces();

// From the output of `fc-match -f '%{file}\n%{lang}\n' ':lang=zh-cn'`: the file, when
// the matched font covers Simplified Chinese (fontconfig answers with its best font even
// when none does); else an empty string.
std::string chineseFontFromMatch(std::string_view output);

// How the log names an origin.
const char* describeFontOrigin(FontOrigin origin);
