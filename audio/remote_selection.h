#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "catalogue.h"

// The device choice made by the parent instead of the settings window: the answers to
// "devices", "select" and "watch", and the reading of a "select". Each answer is one
// line of JSON, keys in a fixed order, numbers formatted as in the settings file.

// The text after "select ": a JSON object with any of the four keys, or the reason it is
// refused (not JSON, not an object, an unknown key, a value of the wrong type).
std::variant<SelectionChoice, std::string> parseSelectionChoice(std::string_view text);

// { "devices": [ ... ], "selected": { ... }, "running": true }: every input device of
// every host API, in PortAudio's order.
std::string devicesLine(CatalogueView catalogue, const AudioSettings& selected, bool running);
// { "selected": { ... }, "running": true }
std::string selectedLine(const AudioSettings& selected, bool running);
// { "selectError": "..." }
std::string selectErrorLine(std::string_view reason);
// { "stream": "running" } or { "stream": "stopped" }
std::string streamLine(bool running);
