#pragma once

#include <optional>
#include <string>
#include <vector>

// What `sondrel-capture --version` (one line) and `sondrel-capture --help` (the usage)
// print before exiting with status 0. Only a sole argument that is exactly one of
// those flags asks for them; any other argument is a settings path, as always.
// arguments: the command line, argv[0] included.
std::optional<std::string> informationRequested(const std::vector<std::string>& arguments);
