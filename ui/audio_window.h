#pragma once

class AudioEngine;
struct ImFontGlyphRangesBuilder;

// Submits the panel's one ImGui window, "Audio", with the engine's settings panel in
// it: fixed at the client area's corner, 485 x 180, translucent, without decorations.
// Called between ImGui::NewFrame and ImGui::Render.
void drawAudioWindow(AudioEngine& engine);

// Adds every character the "Audio" window can draw for the engine's present state: its
// fixed texts, the names of all host APIs and devices, the rates and sizes as listed.
// (The tooltip's punctuation is printable ASCII, which the font always has.)
void addPanelCharacters(const AudioEngine& engine, ImFontGlyphRangesBuilder& characters);
