#include "stdout_lines.h"

#include <string>

void writeStdoutLine(std::string_view text, Flush flush) { standardOutput().writeLine(text, flush); }

void writePortLine(int port) { writeStdoutLine("{ \"port\": " + std::to_string(port) + " }"); }

void writeShownLine() { writeStdoutLine("{ \"event\": \"shown\" }"); }

void writeHiddenLine() { writeStdoutLine("{ \"event\": \"hidden\" }"); }

void writeErrorLine(unsigned long code) { writeStdoutLine("{ \"error\": \"" + std::to_string(code) + "\" }"); }
