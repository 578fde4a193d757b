#pragma once

#include <string>

// The words the control loop acts on. A command matches only when it has exactly the
// word's bytes: no case folding and no trimming here (standard input was trimmed before
// it was queued; WebSocket messages are queued as received).
enum class CommandWord { Show, Hide, Exit, Connected, Disconnected, Unrecognised };

CommandWord matchCommand(const std::string& command);
