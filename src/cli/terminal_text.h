#pragma once

#include <string>
#include <string_view>

// How the command line's text meets a terminal: columns, cuts, escapes and padding.
namespace iapflash::cli {

// Columns that UTF-8 text takes on a terminal: one per ASCII character, two per character of
// three or four bytes (the log's Chinese), one otherwise.
int DisplayWidth(std::string_view text);

// text cut to at most width columns, never inside a UTF-8 sequence.
std::string CutToWidth(std::string_view text, int width);

// Control characters other than LF, TAB and the CR of a CR LF (C0, a lone CR, DEL, C1) as
// "\x1B": text that a device sent must never drive the terminal that shows the log, nor start a
// line of its own.
// With lineEnds false, LF and CR LF are escaped too (a port's name, which is one line).
std::string WithControlsEscaped(std::string_view text, bool lineEnds = true);

// "\r\n" as "\n".
std::string WithUnixLineEnds(std::string_view text);

// text padded with blanks to width columns, left-aligned or right-aligned.
std::string Padded(std::string_view text, int width, bool right = false);

}  // namespace iapflash::cli
