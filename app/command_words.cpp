#include "command_words.h"

CommandWord matchCommand(const std::string& command) {
    if (command == "show")
        return CommandWord::Show;
    if (command == "hide")
        return CommandWord::Hide;
    if (command == "exit")
        return CommandWord::Exit;
    if (command == "connected")
        return CommandWord::Connected;
    if (command == "disconnected")
        return CommandWord::Disconnected;
    return CommandWord::Unrecognised;
}
