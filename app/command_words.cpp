#include "command_words.h"

namespace {

constexpr std::string_view selectWord = "select";

} // namespace

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
    if (command == "devices")
        return CommandWord::Devices;
    if (command == "watch")
        return CommandWord::Watch;
    if (command == selectWord || command.rfind(std::string(selectWord) + " ", 0) == 0)
        return CommandWord::Select;
    return CommandWord::Unrecognised;
}

std::string_view selectArgument(const std::string& command) {
    std::string_view argument(command);
    argument.remove_prefix(std::min(argument.size(), selectWord.size() + 1));
    return argument;
}
