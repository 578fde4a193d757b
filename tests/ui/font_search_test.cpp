// The order in which the panel looks for its font, and what it takes from fontconfig.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "font_search.h"

namespace {

const FontPlaces everyPlace{"/opt/app/bin", "/usr/share/sondrel-capture",
                            "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"};

// Which origin is chosen when the files of these origins are usable.
std::optional<FontOrigin> chosenAmong(const std::set<FontOrigin>& usable, const FontPlaces& places = everyPlace) {
    const std::vector<FontCandidate> candidates = panelFontCandidates(places);
    const FontCandidate* chosen =
        chooseFont(candidates, [&](const FontCandidate& candidate) { return usable.count(candidate.origin) > 0; });
    if (!chosen)
        return std::nullopt;
    return chosen->origin;
}

} // namespace

TEST(FontSearch, CandidatesAreTheWorkingDirectoryThenProgramDataAndSystem) {
    const std::vector<FontCandidate> candidates = panelFontCandidates(everyPlace);
    ASSERT_EQ(candidates.size(), 4u);
    EXPECT_EQ(candidates[0].origin, FontOrigin::workingDirectory);
    EXPECT_EQ(candidates[0].path, "./SourceHanSansSC-VF.ttf");
    EXPECT_EQ(candidates[1].origin, FontOrigin::programFolder);
    EXPECT_EQ(candidates[1].path, "/opt/app/bin/SourceHanSansSC-VF.ttf");
    EXPECT_EQ(candidates[2].origin, FontOrigin::dataFolder);
    EXPECT_EQ(candidates[2].path, "/usr/share/sondrel-capture/SourceHanSansSC-VF.ttf");
    EXPECT_EQ(candidates[3].origin, FontOrigin::system);
    EXPECT_EQ(candidates[3].path, "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc");
}

TEST(FontSearch, TheFirstUsableCandidateIsChosen) {
    using O = FontOrigin;
    const struct {
        std::set<FontOrigin> usable;
        std::optional<FontOrigin> chosen;
    } table[] = {
        {{O::workingDirectory, O::programFolder, O::dataFolder, O::system}, O::workingDirectory},
        {{O::workingDirectory, O::system}, O::workingDirectory},
        {{O::programFolder, O::dataFolder, O::system}, O::programFolder},
        {{O::programFolder, O::system}, O::programFolder},
        {{O::dataFolder, O::system}, O::dataFolder},
        {{O::dataFolder}, O::dataFolder},
        {{O::system}, O::system},
        {{}, std::nullopt},
    };
    for (const auto& row : table)
        EXPECT_EQ(chosenAmong(row.usable), row.chosen) << row.usable.size() << " usable";
}

TEST(FontSearch, PlacesThatAreNotKnownAreLeftOut) {
    // Windows has no installed data folder; a system without a Chinese font has no system font.
    const std::vector<FontCandidate> candidates = panelFontCandidates({"C:\\Programs\\sondrel", "", ""});
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[1].origin, FontOrigin::programFolder);
    EXPECT_EQ(chosenAmong({FontOrigin::dataFolder, FontOrigin::system}, {"/opt/app/bin", "", ""}), std::nullopt);
    EXPECT_EQ(panelFontCandidates({}).size(), 1u);
}

TEST(FontSearch, FontconfigsMatchIsTakenOnlyWhenItCoversSimplifiedChinese) {
    EXPECT_EQ(chineseFontFromMatch("/usr/share/fonts/wqy-microhei.ttc\nja|ko|zh-cn|zh-sg|zh-tw\n"),
              "/usr/share/fonts/wqy-microhei.ttc");
    EXPECT_EQ(chineseFontFromMatch("/usr/share/fonts/a.ttc\nzh-cn\n"), "/usr/share/fonts/a.ttc");
    EXPECT_EQ(chineseFontFromMatch("/usr/share/fonts/a.ttc\nzh-cn"), "/usr/share/fonts/a.ttc");
    // Its best font when there is no Chinese one.
    EXPECT_EQ(chineseFontFromMatch("/usr/share/fonts/dejavu/DejaVuSans.ttf\naa|de|en|zh-tw|zu\n"), "");
    EXPECT_EQ(chineseFontFromMatch("/usr/share/fonts/x.ttf\nzh-cnx|xzh-cn\n"), "");
    EXPECT_EQ(chineseFontFromMatch(""), "");
    EXPECT_EQ(chineseFontFromMatch("\nzh-cn\n"), "");
    EXPECT_EQ(chineseFontFromMatch("/usr/share/fonts/a.ttc"), "");
}
