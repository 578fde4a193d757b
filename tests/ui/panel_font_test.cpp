#include "child_process.h"
#include "font_check.h"
#include "logger.h"
#include "own_file.h"
#include "panel_font.h"
#include "panel_layout.h"
#include "stb_replay.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <imgui.h>
#include <imgui_internal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path dejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

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

void writeBytes(const fs::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
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

// Every character an atlas of this ImGui can hold.
const ImWchar wholePlane[] = {0x0020, 0xFFFF, 0};
// Printable ASCII and the panel's Chinese labels.
const ImWchar* panelRanges() {
    static ImVector<ImWchar> ranges = [] {
        ImFontGlyphRangesBuilder builder;
        builder.AddRanges((const ImWchar[]){0x0020, 0x007E, 0xFFFD, 0xFFFD, 0});
        builder.AddText("设备类型输入设备采样率(Hz)缓冲区长度(帧)刷新设备运行中已停止");
        ImVector<ImWchar> built;
        builder.BuildRanges(&built);
        return built;
    }();
    return ranges.Data;
}

TEST(FontProblem, TheTestFontsAreAcceptedForEveryCharacterTheyHave) {
    if (!shippedFontPresent())
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    for (const fs::path& path : {fs::path(SONDREL_PANEL_FONT), dejaVuSans}) {
        const std::vector<unsigned char> font = readBytes(path);
        EXPECT_EQ(fontProblem(font.data(), font.size(), wholePlane, panelFontSize), "") << path;
    }
}

TEST(FontProblem, BytesThatAreNoFontAreRejected) {
    const std::string text = "not a font at all, just some text in a file named like one";
    EXPECT_EQ(fontProblem(reinterpret_cast<const unsigned char*>(text.data()), text.size(), panelRanges(), 16.0f),
              "不是TrueType或OpenType字体");
    const unsigned char shortHeader[] = {0, 1, 0, 0};
    EXPECT_EQ(fontProblem(shortHeader, sizeof shortHeader, panelRanges(), 16.0f), "文件过短");
    // A collection header too short to name its first font.
    const unsigned char collection[] = {'t', 't', 'c', 'f', 0, 1, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(fontProblem(collection, sizeof collection, panelRanges(), 16.0f), "文件过短");
}

TEST(FontProblem, TablesBeyondTheEndOrMissingAreRejected) {
    // The directory promises more records than the file holds.
    std::vector<unsigned char> font = sfntHeader(3);
    appendTable(font, "cmap", 60, 4);
    EXPECT_EQ(fontProblem(font.data(), font.size(), panelRanges(), 16.0f), "字体表超出文件末尾");

    // A record whose table runs past the end.
    font = sfntHeader(1);
    appendTable(font, "cmap", 28, 4096);
    font.resize(64, 0);
    EXPECT_EQ(fontProblem(font.data(), font.size(), panelRanges(), 16.0f), "字体表超出文件末尾");

    // A well-formed directory without the tables a font needs.
    font = sfntHeader(1);
    appendTable(font, "name", 28, 8);
    font.resize(36, 0);
    EXPECT_EQ(fontProblem(font.data(), font.size(), panelRanges(), 16.0f), "无法解析字体");
}

// The tables of the first font of a collection (or of a lone font) end here; bytes
// after that belong to other fonts of the collection.
std::size_t firstFontEnd(const std::vector<unsigned char>& font) {
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t(font[at]) << 24 | std::uint32_t(font[at + 1]) << 16 |
               std::uint32_t(font[at + 2]) << 8 | font[at + 3];
    };
    const std::size_t start = font[0] == 't' ? u32(12) : 0;
    const std::size_t tables = std::size_t(font[start + 4]) << 8 | font[start + 5];
    std::size_t end = 0;
    for (std::size_t i = 0; i < tables; ++i)
        end = std::max<std::size_t>(end, u32(start + 12 + 16 * i + 8) + u32(start + 12 + 16 * i + 12));
    return end;
}

// A glyph whose place in the glyph table starts inside the table and ends past it (here,
// past the end of the file): only the table's own bound keeps its outline from being read
// out of the file.
TEST(FontProblem, AGlyphThatEndsPastItsTableIsRejected) {
    if (!fs::is_regular_file(dejaVuSans))
        GTEST_SKIP() << "no " << dejaVuSans << " (fonts-dejavu-core)";
    std::vector<unsigned char> font = readBytes(dejaVuSans);
    const auto u16 = [&](std::size_t at) { return std::uint32_t(font[at]) << 8 | font[at + 1]; };
    const auto u32 = [&](std::size_t at) { return u16(at) << 16 | u16(at + 2); };
    std::map<std::string, std::pair<std::size_t, std::size_t>> tables;
    for (std::size_t i = 0; i < u16(4); ++i) {
        const std::size_t record = 12 + 16 * i;
        tables[std::string(font.begin() + record, font.begin() + record + 4)] = {u32(record + 8),
                                                                                 u32(record + 12)};
    }
    const std::size_t loca = tables.at("loca").first;
    const std::size_t glyfLength = tables.at("glyf").second;
    // A glyph table this large needs 32-bit locations.
    ASSERT_EQ(u16(tables.at("head").first + 50), 1u);
    const std::size_t numGlyphs = u16(tables.at("maxp").first + 4);
    // Glyphs of the Latin letters lie in the first half; from the middle on, the first
    // runs past the table and the end of the file, and the rest are empty.
    const std::size_t past = font.size() - tables.at("glyf").first + 4096;
    ASSERT_GT(past, glyfLength);
    for (std::size_t glyph = numGlyphs / 2 + 1; glyph <= numGlyphs; ++glyph)
        for (int byte = 0; byte < 4; ++byte)
            font[loca + glyph * 4 + byte] = static_cast<unsigned char>(past >> (24 - 8 * byte));
    const std::string problem = fontProblem(font.data(), font.size(), wholePlane, panelFontSize);
    EXPECT_NE(problem.find("字形数据超出字形表"), std::string::npos) << problem;
}

class PanelFontTest : public ::testing::Test {
protected:
    PanelFontTest() {
        Logger::instance().openFile((dir / "panel.log").string());
        // Every character the atlas may be built for, when a test asks for the widest.
        wide.AddRanges(wholePlane);
    }
    ~PanelFontTest() override { Logger::instance().openFile((dir / "closed.log").string()); }

    std::string log() {
        Logger::instance().flush();
        return readText(dir / "panel.log");
    }
    // The warnings about files; the line that says no font file was usable is not one.
    std::size_t warnings() {
        const std::string text = log();
        std::size_t count = 0;
        for (auto at = text.find("[WARN]"); at != std::string::npos; at = text.find("[WARN]", at + 1))
            ++count;
        return count - countIn(text, noFontLine);
    }
    static std::size_t countIn(const std::string& text, const std::string& part) {
        std::size_t count = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

    static inline const std::string noFontLine =
        "[WARN] <Panel> 未找到可用的字体文件, 控制面板改用内置字体, 中文无法显示";

    // The atlas as the window uploads it: one font, ImGui's built-in one.
    void expectBuiltInFont() const {
        ASSERT_TRUE(atlas.IsBuilt());
        ASSERT_EQ(atlas.Fonts.Size, 1);
        EXPECT_EQ(atlas.Fonts[0]->FindGlyphNoFallback(0x8BBE), nullptr);
        EXPECT_FLOAT_EQ(atlas.Fonts[0]->FontSize, 13.0f);
    }
    void expectFileFont() const {
        ASSERT_TRUE(atlas.IsBuilt());
        ASSERT_EQ(atlas.Fonts.Size, 1);
        EXPECT_FLOAT_EQ(atlas.Fonts[0]->FontSize, panelFontSize);
    }

    const TempDir dir{"sondrel-font"};
    ImFontAtlas atlas;
    ImFontGlyphRangesBuilder panelCharacters;
    ImFontGlyphRangesBuilder wide;
};

TEST_F(PanelFontTest, TheShippedFontHoldsThePanelsCharactersAndOnlyThose) {
    if (!shippedFontPresent())
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    panelCharacters.AddText("设备类型麦克风");
    PanelFont font(SONDREL_PANEL_FONT);
    font.build(atlas, panelCharacters);
    EXPECT_TRUE(font.fromFile());
    expectFileFont();
    const ImFont& built = *atlas.Fonts[0];
    for (const ImWchar c : {ImWchar(u'设'), ImWchar(u'麦'), ImWchar('A'), ImWchar('~'), ImWchar(0xFFFD)})
        EXPECT_NE(built.FindGlyphNoFallback(c), nullptr) << c;
    // Not a character of the panel: the full Chinese ranges are not rasterised any more.
    EXPECT_EQ(built.FindGlyphNoFallback(u'中'), nullptr);
    EXPECT_LT(built.Glyphs.Size, 120);
    EXPECT_EQ(warnings(), 0u);
    EXPECT_NE(log().find("[INFO] <Panel> 控制面板字体图集: " + std::to_string(built.Glyphs.Size) + "个字形, "),
              std::string::npos)
        << log();
}

TEST_F(PanelFontTest, ANewCharacterIsLackedUntilTheAtlasIsBuiltForIt) {
    if (!shippedFontPresent())
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    PanelFont font(SONDREL_PANEL_FONT);
    panelCharacters.AddText("输入设备");
    font.build(atlas, panelCharacters);
    EXPECT_FALSE(font.lacks(panelCharacters));
    // ASCII and U+FFFD are always there: a name of them needs no new atlas.
    ImFontGlyphRangesBuilder ascii;
    ascii.AddText("USB Audio (hw:1,0) \xEF\xBF\xBD");
    EXPECT_FALSE(font.lacks(ascii));

    panelCharacters.AddText("蓝牙耳机");
    EXPECT_TRUE(font.lacks(panelCharacters));
    font.build(atlas, panelCharacters);
    EXPECT_FALSE(font.lacks(panelCharacters));
    EXPECT_NE(atlas.Fonts[0]->FindGlyphNoFallback(u'蓝'), nullptr);

    // The built-in font has nothing more to offer: no rebuild for any name.
    PanelFont missing((dir / "none.ttf").string());
    missing.build(atlas, panelCharacters);
    panelCharacters.AddText("新");
    EXPECT_FALSE(missing.lacks(panelCharacters));
}

TEST_F(PanelFontTest, AMissingFileLeavesTheBuiltInFontSilently) {
    PanelFont font((dir / "SourceHanSansSC-VF.ttf").string());
    font.build(atlas, panelCharacters);
    EXPECT_FALSE(font.fromFile());
    expectBuiltInFont();
    EXPECT_EQ(warnings(), 0u) << log();
    // Said once: without a font every Chinese label is a row of "?".
    font.build(atlas, panelCharacters);
    EXPECT_EQ(countIn(log(), noFontLine), 1u) << log();
}

TEST_F(PanelFontTest, WhatIsNoUsableFontFileIsRefusedWithOneWarning) {
    const fs::path directory = dir / "directory.ttf";
    fs::create_directory(directory);
    const fs::path garbage = dir / "garbage.ttf";
    std::ofstream(garbage, std::ios::binary) << std::string(4096, '\x5a');
    const fs::path empty = dir / "empty.ttf";
    std::ofstream{empty};
    // A FIFO nobody writes to: opening it must not wait for a writer.
    const fs::path fifo = dir / "fifo.ttf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<fs::path, std::string> cases[] = {{directory, "不是普通文件"},
                                                      {garbage, "不是TrueType或OpenType字体"},
                                                      {empty, "文件为空"},
                                                      {fifo, "不是普通文件"}};
    for (const auto& [path, why] : cases) {
        PanelFont font(path.string());
        font.build(atlas, panelCharacters);
        EXPECT_FALSE(font.fromFile()) << path;
        expectBuiltInFont();
        EXPECT_NE(log().find("[WARN] <Panel> 字体文件" + path.string() + "不可用(" + why + "), 改用内置字体"),
                  std::string::npos)
            << log();
    }
    EXPECT_EQ(warnings(), std::size(cases));
}

TEST_F(PanelFontTest, AFontAnotherUserCouldHavePlantedOrChangedIsNotUsed) {
    if (!fs::is_regular_file(dejaVuSans))
        GTEST_SKIP() << "no " << dejaVuSans << " (fonts-dejavu-core)";
    const fs::path path = dir / "SourceHanSansSC-VF.ttf";
    fs::copy_file(dejaVuSans, path);
    PanelFont font(path.string());
    font.build(atlas, panelCharacters);
    ASSERT_TRUE(font.fromFile()) << "our own copy, mode 0644, is used: " << log();

    for (const auto& [mode, why] : {std::pair{0664, "组或其他用户可写"}, {0646, "组或其他用户可写"}}) {
        ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
        font.build(atlas, panelCharacters);
        EXPECT_FALSE(font.fromFile()) << std::oct << mode;
        expectBuiltInFont();
        EXPECT_NE(log().find(std::string("不可用(") + why + ")"), std::string::npos) << log();
    }
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    // A link to it is followed, and the file it reaches is what is judged.
    const fs::path link = dir / "link.ttf";
    fs::create_symlink(path, link);
    PanelFont linked(link.string());
    linked.build(atlas, panelCharacters);
    EXPECT_TRUE(linked.fromFile());

    if (chown(path.c_str(), 65534, 65534) != 0)
        GTEST_SKIP() << "cannot give a file to another user here (not root)";
    for (PanelFont* planted : {&font, &linked}) {
        planted->build(atlas, panelCharacters);
        EXPECT_FALSE(planted->fromFile());
        expectBuiltInFont();
    }
    EXPECT_NE(log().find("字体文件" + link.string() + "不可用(属于其他用户), 改用内置字体"), std::string::npos)
        << log();
}

// Truncated copies of the shipped font, at 100 lengths drawn with a fixed seed. Cut
// inside the first font's tables, the file is refused with one warning and the built-in
// font; cut after them (only a later font of a collection is damaged) it is still used,
// and then the parser's whole atlas build, replayed with every read outside the file
// trapped, stays inside it.
TEST_F(PanelFontTest, TruncationsOfTheShippedFontNeverTakeTheParserPastTheEnd) {
    if (!shippedFontPresent())
        GTEST_SKIP() << "no font at " SONDREL_PANEL_FONT;
    const std::vector<unsigned char> whole = readBytes(SONDREL_PANEL_FONT);
    const std::size_t firstEnd = firstFontEnd(whole);
    ASSERT_LE(firstEnd, whole.size());
    std::mt19937 random(20);
    std::vector<std::size_t> lengths;
    std::uniform_int_distribution<std::size_t> length(0, whole.size() - 1);
    for (int i = 0; i < 100; ++i)
        lengths.push_back(length(random));
    // Shortest last: the copy is only ever cut shorter.
    std::sort(lengths.rbegin(), lengths.rend());

    const fs::path path = dir / "SourceHanSansSC-VF.ttf";
    writeBytes(path, whole);
    PanelFont font(path.string());
    std::size_t refused = 0;
    for (const std::size_t cut : lengths) {
        SCOPED_TRACE(cut);
        fs::resize_file(path, cut);
        const std::size_t warningsBefore = warnings();
        font.build(atlas, panelCharacters);
        if (cut < firstEnd) {
            ++refused;
            EXPECT_FALSE(font.fromFile());
            expectBuiltInFont();
            EXPECT_EQ(warnings(), warningsBefore + 1);
        } else {
            EXPECT_TRUE(font.fromFile());
            const std::vector<unsigned char> kept(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            replayAtlasBuild(kept.data(), kept.size(), panelRanges(), panelFontSize);
        }
    }
    EXPECT_GT(refused, 80u);
    EXPECT_NE(log().find("不可用(字体表超出文件末尾), 改用内置字体"), std::string::npos);
}

// The damaged fonts tests/fuzz/fonts/make-fonts.sh rebuilds from DejaVuSans.ttf,
// with an atlas asked for every character this ImGui can hold (far more than the panel
// draws). Three damage glyphs the atlas build reads (a glyph format the parser stops on,
// a glyph far too large, outline data running past the glyph's own range) and are
// refused with one warning and the built-in font. The other two damage only glyphs
// beyond the Basic Multilingual Plane, which this ImGui cannot ask for, or a table the
// atlas build never reads; they are used, and the parser's replayed atlas build stays
// inside them.
TEST_F(PanelFontTest, TheDamagedFontsOfTheFuzzFolderCannotTakeTheParserOutside) {
    ASSERT_TRUE(fs::is_regular_file(SONDREL_DAMAGED_FONTS_SCRIPT)) << "no " SONDREL_DAMAGED_FONTS_SCRIPT;
    if (!fs::is_regular_file(dejaVuSans))
        GTEST_SKIP() << "no " << dejaVuSans << " (fonts-dejavu-core)";
    const fs::path fonts = dir / "damaged";
    ChildProcess::Options options;
    options.argv = {"/bin/bash", SONDREL_DAMAGED_FONTS_SCRIPT, fonts.string()};
    options.stdinMode = ChildProcess::StdinMode::DevNull;
    ChildProcess make(options);
    ASSERT_EQ(make.waitExit(60s), 0) << make.stderrText();

    const std::pair<const char*, const char*> expected[] = {{"evil372", "U+04D4: 字形格式不受支持"},
                                                            {"evil4015", "U+02A7: 字形过大"},
                                                            {"evil5276", "U+06F4: 字形数据超出其范围"},
                                                            {"evil1504", nullptr},
                                                            {"evil3137", nullptr}};
    for (const auto& [name, why] : expected) {
        SCOPED_TRACE(name);
        const fs::path path = fonts / (std::string(name) + ".ttf");
        ASSERT_TRUE(fs::is_regular_file(path));
        const std::size_t warningsBefore = warnings();
        PanelFont font(path.string());
        font.build(atlas, wide);
        if (why) {
            EXPECT_FALSE(font.fromFile());
            expectBuiltInFont();
            EXPECT_EQ(warnings(), warningsBefore + 1);
            EXPECT_NE(log().find("字体文件" + path.string() + "不可用(" + why + "), 改用内置字体"),
                      std::string::npos)
                << log();
        } else {
            EXPECT_TRUE(font.fromFile()) << log();
            const std::vector<unsigned char> bytes = readBytes(path);
            replayAtlasBuild(bytes.data(), bytes.size(), wholePlane, panelFontSize);
        }
    }
}

class PanelLayoutTest : public PanelFontTest {
protected:
    PanelLayoutTest() : context(ImGui::CreateContext()) {
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = ImVec2(500.0f, 176.0f);
        io.DeltaTime = 1.0f / 60.0f;
        io.Fonts->Build();
    }
    ~PanelLayoutTest() override { ImGui::DestroyContext(context); }

    // One frame with a window that takes its place from the saved settings.
    ImVec2 probePosition() {
        ImGui::NewFrame();
        ImGui::Begin("Probe");
        const ImVec2 position = ImGui::GetWindowPos();
        ImGui::End();
        ImGui::Render();
        return position;
    }

    static std::string probeAt(int x, int y) {
        return "[Window][Probe]\nPos=" + std::to_string(x) + "," + std::to_string(y) + "\nSize=100,50\n";
    }

    ImGuiContext* context;
    fs::path ini = dir / "imgui.ini";
};

TEST_F(PanelLayoutTest, OurOwnFileIsReadAndANewOneIsPrivateWhateverTheUmask) {
    std::ofstream(ini) << probeAt(123, 45);
    {
        PanelLayout layout(ini.string());
        EXPECT_EQ(ImGui::GetIO().IniFilename, nullptr);
        const ImVec2 position = probePosition();
        EXPECT_FLOAT_EQ(position.x, 123.0f);
        EXPECT_FLOAT_EQ(position.y, 45.0f);
    }

    fs::remove(ini);
    const mode_t umaskBefore = umask(0);
    PanelLayout layout(ini.string());
    probePosition();
    layout.save();
    umask(umaskBefore);
    struct stat status {};
    ASSERT_EQ(stat(ini.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_NE(readText(ini).find("[Window][Probe]"), std::string::npos) << readText(ini);
    EXPECT_EQ(warnings(), 0u) << log();
}

TEST_F(PanelLayoutTest, AFileThatIsNotOursIsNeitherReadNorWritten) {
    const fs::path target = dir / "bashrc";
    std::ofstream(target) << "ours, not a layout\n";
    struct Case {
        const char* name;
        std::function<void()> plant;
        const char* why;
    };
    const Case cases[] = {
        {"group-writable",
         [&] {
             std::ofstream(ini) << probeAt(200, 20);
             chmod(ini.c_str(), 0664);
         },
         "组或其他用户可写"},
        {"a link", [&] { fs::create_symlink(target, ini); }, "不是普通文件"},
        {"another user's",
         [&] {
             std::ofstream(ini) << probeAt(200, 20);
             if (chown(ini.c_str(), 65534, 65534) != 0)
                 fs::remove(ini); // not root: this case cannot be made here
         },
         "属于其他用户"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(ini);
        c.plant();
        if (!fs::exists(fs::symlink_status(ini)))
            continue;
        const std::string before = readText(ini);
        const std::size_t warningsBefore = warnings();
        PanelLayout layout(ini.string());
        EXPECT_NE(probePosition().x, 200.0f);
        layout.saveIfChanged();
        ImGui::GetIO().WantSaveIniSettings = true;
        layout.saveIfChanged();
        layout.save();
        EXPECT_EQ(readText(ini), before);
        EXPECT_EQ(readText(target), "ours, not a layout\n");
        EXPECT_EQ(warnings(), warningsBefore + 1);
        EXPECT_NE(log().find("[WARN] <Panel> 窗口布局文件" + ini.string() + "不可用(" + c.why +
                             "), 不读取也不保存窗口布局"),
                  std::string::npos)
            << log();
    }
}

} // namespace
