#pragma once

#include <string_view>

#include "stream_writer.h"

// The protocol lines, written through standardOutput(): in order, each whole, never
// waiting on the parent. The WebSocket library's log entries share the stream through
// LibraryLogBuf.

// text plus a line feed; Flush::Later lines reach the parent with the next flushed one
// or at exit.
void writeStdoutLine(std::string_view text, Flush flush = Flush::Now);

// The fixed protocol lines.
void writePortLine(int port);
void writeShownLine();
void writeHiddenLine();
void writeErrorLine(unsigned long code);

// For an exit that cannot wait: when a shown line has not been answered by a hidden line
// yet, queues the hidden line, then pushes out what standard output and standard error
// hold (bounded, see finishStandardStreams). Any thread; nothing written afterwards
// reaches the parent, so call it only right before the process ends.
void finishStandardStreamsWithOwedHiddenLine();
