#include "audio_engine.h"
#include "audio_window.h"
#include "meter.h"

#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

namespace {

const ImVec4 runningColour{0.0f, 0.8f, 0.0f, 1.0f};
const ImVec4 stoppedColour{0.5f, 0.5f, 0.5f, 1.0f};
const ImVec4 yellowColour{1.0f, 1.0f, 0.4f, 1.0f};
const ImVec4 redColour{1.0f, 0.2f, 0.2f, 1.0f};

// Every text the panel draws apart from the catalogue's names, the numbers and the
// tooltip's ASCII punctuation. The drawing below takes its texts from here, and so does
// the font atlas, which is built for the characters the panel can draw: a text added here
// is in both.
enum class Text { hostApiList, deviceList, sampleRateList, bufferSizeList, refresh, running, stopped, none };
constexpr const char* texts[] = {
    "设备类型", "输入设备", "采样率(Hz)", "缓冲区长度(帧)", "刷新设备", "运行中", "已停止",
    "N/A", // the name shown for a selection out of range
};

constexpr const char* text(Text which) { return texts[static_cast<int>(which)]; }

const Text listLabels[] = {Text::hostApiList, Text::deviceList, Text::sampleRateList, Text::bufferSizeList};

// A rate or size as its list shows it: the whole number, any fraction cut off.
template <typename Value>
std::string valueText(Value value) {
    return std::to_string(static_cast<long long>(value));
}

template <typename Row>
bool inRange(const std::vector<Row>& rows, std::int32_t index) {
    return index >= 0 && static_cast<std::size_t>(index) < rows.size();
}

void restart(AudioEngine& engine) {
    engine.stopStream();
    engine.startStream();
}

void drawHostApiList(AudioEngine& engine, const std::string& preview) {
    if (!ImGui::BeginCombo(text(Text::hostApiList), preview.c_str(), ImGuiComboFlags_PopupAlignLeft))
        return;
    for (std::int32_t i = 0; inRange(engine.hostApis, i); ++i) {
        ImGui::PushID(i);
        const bool selected = i == engine.hostApiIndex;
        if (ImGui::Selectable(engine.hostApis[i].name.c_str(), selected) && !selected) {
            engine.selectHostApi(i);
            restart(engine);
        }
        if (i == engine.hostApiIndex)
            ImGui::SetItemDefaultFocus();
        ImGui::PopID();
    }
    ImGui::EndCombo();
}

void drawDeviceList(AudioEngine& engine, const std::string& preview) {
    if (!ImGui::BeginCombo(text(Text::deviceList), preview.c_str(), ImGuiComboFlags_PopupAlignLeft))
        return;
    for (std::int32_t i = 0; inRange(engine.devices, i); ++i) {
        const DeviceEntry& device = engine.devices[i];
        if (device.hostApi != engine.hostApiIndex || device.maxInputChannels <= 0)
            continue;
        // The row keeps its number in the whole list as its identity, whichever host
        // API is shown.
        ImGui::PushID(i);
        if (ImGui::Selectable(device.name.c_str(), i == engine.deviceIndex)) {
            engine.deviceIndex = i;
            restart(engine);
        }
        if (i == engine.deviceIndex)
            ImGui::SetItemDefaultFocus();
        ImGui::PopID();
    }
    ImGui::EndCombo();
}

// The rate and size lists: every click, also on the selected row, restarts capture.
template <typename Value>
void drawValueList(AudioEngine& engine, const char* label, const std::vector<Value>& values,
                   std::int32_t& selection) {
    const std::string preview = inRange(values, selection) ? valueText(values[selection]) : text(Text::none);
    if (!ImGui::BeginCombo(label, preview.c_str(), ImGuiComboFlags_PopupAlignLeft))
        return;
    for (std::int32_t i = 0; inRange(values, i); ++i) {
        ImGui::PushID(i);
        if (ImGui::Selectable(valueText(values[i]).c_str(), i == selection)) {
            selection = i;
            restart(engine);
        }
        if (i == selection)
            ImGui::SetItemDefaultFocus();
        ImGui::PopID();
    }
    ImGui::EndCombo();
}

void drawMeter(const AudioEngine& engine) {
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const ImU32 dot = ImGui::ColorConvertFloat4ToU32(engine.running ? runningColour : stoppedColour);
    drawList->AddCircleFilled(ImVec2(p.x + meterDotCentreX, p.y + meterDotCentreY), meterDotRadius, dot);

    const ImVec2 b(p.x + meterBarOffsetX, p.y + meterBarOffsetY);
    const float bottom = b.y + meterBarHeight;
    const MeterWidths widths = meterWidths(engine.level.load(std::memory_order_relaxed));
    drawList->AddRectFilled(b, ImVec2(b.x + static_cast<float>(widths.green), bottom),
                            ImGui::ColorConvertFloat4ToU32(runningColour));
    if (widths.yellow > 0) {
        const float x = b.x + static_cast<float>(meterYellowFrom * meterFullScale);
        drawList->AddRectFilled(ImVec2(x, b.y), ImVec2(x + static_cast<float>(widths.yellow), bottom),
                                ImGui::ColorConvertFloat4ToU32(yellowColour));
    }
    if (widths.red > 0) {
        const float x = b.x + static_cast<float>(meterRedFrom * meterFullScale);
        drawList->AddRectFilled(ImVec2(x, b.y), ImVec2(x + static_cast<float>(widths.red), bottom),
                                ImGui::ColorConvertFloat4ToU32(redColour));
    }
}

// The lists take the window's default item width. A font wider than the layout was
// made for would push the refresh button beside them out of the window; only then are
// the lists narrowed, just enough for the button to end at the content edge.
std::optional<float> narrowedListWidth() {
    const ImGuiStyle& style = ImGui::GetStyle();
    float widestLabel = 0.0f;
    for (const Text label : listLabels)
        widestLabel = std::max(widestLabel, ImGui::CalcTextSize(text(label), nullptr, true).x);
    const float button = ImGui::CalcTextSize(text(Text::refresh), nullptr, true).x + 2.0f * style.FramePadding.x;
    const float room = std::floor(ImGui::GetContentRegionAvail().x - style.ItemInnerSpacing.x - widestLabel -
                                  style.ItemSpacing.x - button);
    const float width = ImGui::CalcItemWidth();
    if (room >= width)
        return std::nullopt;
    // However wide the font, the lists stay usable; the button may then be cut.
    return std::max(room, std::floor(width / 2.0f));
}

} // namespace

void AudioEngine::drawPanel() {
    // Copies: the refresh button below rebuilds the lists, and the tooltip at the end
    // still shows the names this frame started with.
    const std::string hostApiName =
        inRange(hostApis, hostApiIndex) ? hostApis[hostApiIndex].name : text(Text::none);
    const std::string deviceName = inRange(devices, deviceIndex) ? devices[deviceIndex].name : text(Text::none);

    const std::optional<float> listWidth = narrowedListWidth();
    if (listWidth)
        ImGui::PushItemWidth(*listWidth);
    ImGui::BeginGroup();
    drawHostApiList(*this, hostApiName);
    drawDeviceList(*this, deviceName);
    drawValueList(*this, text(Text::sampleRateList), sampleRates, sampleRateIndex);
    drawValueList(*this, text(Text::bufferSizeList), bufferSizes, bufferSizeIndex);
    ImGui::EndGroup();
    if (listWidth)
        ImGui::PopItemWidth();

    ImGui::SameLine();
    if (ImGui::Button(text(Text::refresh))) {
        // The refresh closes a running stream itself.
        refreshDevices();
        selectHostApi(hostApiIndex);
        startStream();
    }

    ImGui::Dummy(ImVec2(0.0f, 0.0f));
    ImGui::Separator();
    drawMeter(*this);

    ImGui::Dummy(ImVec2(meterHoverSize, meterHoverSize));
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("%s: (%s) %s", text(running ? Text::running : Text::stopped), hostApiName.c_str(),
                          deviceName.c_str());
}

void drawAudioWindow(AudioEngine& engine) {
    ImGui::SetNextWindowBgAlpha(0.7f);
    ImGui::SetNextWindowSize(ImVec2(485.0f, 180.0f), ImGuiCond_Always);
    ImGui::SetNextWindowPos(ImVec2(0.0f, 0.0f), ImGuiCond_Always, ImVec2(0.0f, 0.0f));
    ImGui::Begin("Audio", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                     ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse);
    engine.drawPanel();
    ImGui::End();
}

void addPanelCharacters(const AudioEngine& engine, ImFontGlyphRangesBuilder& characters) {
    for (const char* fixed : texts)
        characters.AddText(fixed);
    for (const HostApiEntry& hostApi : engine.hostApis)
        characters.AddText(hostApi.name.c_str());
    for (const DeviceEntry& device : engine.devices)
        characters.AddText(device.name.c_str());
    for (const double rate : engine.sampleRates)
        characters.AddText(valueText(rate).c_str());
    for (const std::uint32_t size : engine.bufferSizes)
        characters.AddText(valueText(size).c_str());
}
