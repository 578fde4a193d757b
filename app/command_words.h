#pragma once

#include <string>
#include <string_view>

// The words the control loop acts on. A command matches only when it has exactly the
// word's bytes: no case folding and no trimming here (standard input was trimmed before
// it was queued; WebSocket messages are queued as received). "select" alone or followed
// by one space and its argument is the one word that carries one.
enum class CommandWord { Show, Hide, Exit, Connected, Disconnected, Devices, Select, Watch, Unrecognised };

CommandWord matchCommand(const std::string& command);

// What follows "select " (empty for a bare "select").
std::string_view selectArgument(const std::string& command);
