#pragma once

#include <string_view>

// The process's own standard output and standard error, written without the C and
// C++ stream buffers (which hold locks that a blocked write would keep), so that a
// writer thread stuck on a parent that stopped reading cannot hold up anyone else,
// not even the process's exit. One implementation per platform (posix/, win32/).
enum class StandardStream { Output, Error };

// Writes all the bytes, blocking while the parent does not read. False once the
// stream is gone (the parent closed its end, the descriptor is invalid); the text is
// then lost. On platforms with a text mode the line feeds are translated there.
bool writeStandardStream(StandardStream stream, std::string_view bytes);
