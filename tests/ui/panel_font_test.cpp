#include "panel_font.h"

#include "logger.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <imgui.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<unsigned char> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A big-endian TrueType header: version 1.0, the table count, zeroed search fields.
std::vector<unsigned char> sfntHeader(std::uint16_t tables) {
    return {0, 1, 0, 0, static_cast<unsigned char>(tables >> 8), static_cast<unsigned char>(tables), 0, 0,
            0, 0, 0, 0};
}

void appendTable(std::vector<unsigned char>& bytes, const char* tag, std::uint32_t offset, std::uint32_t length) {
    bytes.insert(bytes.end(), tag, tag + 4);
    bytes.insert(bytes.end(), 4, 0); // checksum
    for (std::uint32_t value : {offset, length})
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<unsigned char>(value >> shift));
}

bool shippedFontPresent() { return fs::is_regular_file(SONDREL_PANEL_FONT); }

TEST(FontProblem, TheShippedFontIsAccepted) {
    if (!shippedFontPresent())
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    const std::vector<unsigned char> font = readBytes(SONDREL_PANEL_FONT);
    EXPECT_EQ(fontProblem(font.data(), font.size()), "");
}

TEST(FontProblem, BytesThatAreNoFontAreRejected) {
    const std::string text = "not a font at all, just some text in a file named like one";
    EXPECT_EQ(fontProblem(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
              "不是TrueType或OpenType字体");

    const unsigned char shortHeader[] = {0, 1, 0, 0};
    EXPECT_EQ(fontProblem(shortHeader, sizeof shortHeader), "文件过短");
    // A collection header too short to name its first font.
    const unsigned char collection[] = {'t', 't', 'c', 'f', 0, 1, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(fontProblem(collection, sizeof collection), "文件过短");
}

TEST(FontProblem, TablesBeyondTheEndAreRejected) {
    // The directory promises more records than the file holds.
    std::vector<unsigned char> font = sfntHeader(3);
    appendTable(font, "cmap", 60, 4);
    EXPECT_EQ(fontProblem(font.data(), font.size()), "字体表超出文件末尾");

    // A record whose table runs past the end.
    font = sfntHeader(1);
    appendTable(font, "cmap", 28, 4096);
    font.resize(64, 0);
    EXPECT_EQ(fontProblem(font.data(), font.size()), "字体表超出文件末尾");
}

TEST(FontProblem, TablesInsideButNotAFontStbCanUseAreRejected) {
    // A well-formed directory without the tables a font needs.
    std::vector<unsigned char> font = sfntHeader(1);
    appendTable(font, "name", 28, 8);
    font.resize(36, 0);
    EXPECT_EQ(fontProblem(font.data(), font.size()), "无法解析字体");
}

TEST(FontProblem, ATruncatedCopyOfTheShippedFontIsRejected) {
    if (!shippedFontPresent())
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    std::vector<unsigned char> font = readBytes(SONDREL_PANEL_FONT);
    font.resize(font.size() / 2);
    EXPECT_EQ(fontProblem(font.data(), font.size()), "字体表超出文件末尾");
}

class AddPanelFontTest : public ::testing::Test {
protected:
    AddPanelFontTest() { Logger::instance().openFile((dir / "panel.log").string()); }
    ~AddPanelFontTest() override { Logger::instance().openFile((dir / "closed.log").string()); }

    std::string log() {
        Logger::instance().flush();
        return readText(dir / "panel.log");
    }

    // Builds the atlas as the window does; ImGui's own checks would abort on a font it
    // cannot read.
    static void expectBuiltInFontBuilt(ImFontAtlas& atlas) {
        unsigned char* pixels = nullptr;
        int width = 0, height = 0;
        atlas.GetTexDataAsAlpha8(&pixels, &width, &height);
        ASSERT_TRUE(atlas.IsBuilt());
        ASSERT_EQ(atlas.Fonts.Size, 1);
        EXPECT_STREQ(atlas.Fonts[0]->GetDebugName(), "ProggyClean.ttf, 13px");
    }

    const TempDir dir{"sondrel-font"};
    ImFontAtlas atlas;
};

TEST_F(AddPanelFontTest, AMissingFileLeavesTheBuiltInFontSilently) {
    EXPECT_FALSE(addPanelFont(atlas, (dir / "SourceHanSansSC-VF.ttf").c_str()));
    expectBuiltInFontBuilt(atlas);
    EXPECT_EQ(log(), "");
}

TEST_F(AddPanelFontTest, ADirectoryIsRefusedWithAWarning) {
    const fs::path path = dir / "SourceHanSansSC-VF.ttf";
    fs::create_directory(path);
    EXPECT_FALSE(addPanelFont(atlas, path.c_str()));
    expectBuiltInFontBuilt(atlas);
    EXPECT_NE(log().find("[WARN] <Panel> 字体文件" + path.string() + "不可用(不是普通文件), 改用内置字体"),
              std::string::npos)
        << log();
}

TEST_F(AddPanelFontTest, GarbageAndEmptyFilesAreRefusedWithAWarning) {
    const fs::path garbage = dir / "garbage.ttf";
    std::ofstream(garbage, std::ios::binary) << std::string(4096, '\x5a');
    EXPECT_FALSE(addPanelFont(atlas, garbage.c_str()));
    const fs::path empty = dir / "empty.ttf";
    std::ofstream{empty};
    EXPECT_FALSE(addPanelFont(atlas, empty.c_str()));
    expectBuiltInFontBuilt(atlas);
    const std::string text = log();
    EXPECT_NE(text.find("字体文件" + garbage.string() + "不可用(不是TrueType或OpenType字体), 改用内置字体"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("字体文件" + empty.string() + "不可用(文件为空), 改用内置字体"), std::string::npos)
        << text;
}

TEST_F(AddPanelFontTest, TheShippedFontIsAddedWithTheChineseRanges) {
    if (!shippedFontPresent())
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    ASSERT_TRUE(addPanelFont(atlas, SONDREL_PANEL_FONT));
    ASSERT_EQ(atlas.ConfigData.Size, 1);
    const ImFontConfig& config = atlas.ConfigData[0];
    EXPECT_STREQ(config.Name, "SourceHanSansSC-VF.ttf, 16px");
    EXPECT_FLOAT_EQ(config.SizePixels, 16.0f);
    EXPECT_EQ(config.GlyphRanges, atlas.GetGlyphRangesChineseFull());
    EXPECT_EQ(static_cast<std::uintmax_t>(config.FontDataSize), fs::file_size(SONDREL_PANEL_FONT));
    EXPECT_TRUE(config.FontDataOwnedByAtlas);
    EXPECT_EQ(log(), "");
}

} // namespace
