#pragma once

class AudioEngine;

// Submits the panel's one ImGui window, "Audio", with the engine's settings panel in
// it: fixed at the client area's corner, 485 x 180, translucent, without decorations.
// Called between ImGui::NewFrame and ImGui::Render.
void drawAudioWindow(AudioEngine& engine);
