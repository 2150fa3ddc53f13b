#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// What the command line needs of the OS, one small function each, so every OS can supply its own
// (terminal_posix.cpp, and a *_win32.cpp beside it).
namespace iapflash::cli {

bool StdoutIsTerminal();
bool StderrIsTerminal();
// Width of the terminal on stderr in columns; 0 when unknown.
int StderrColumns();
// Makes the console show UTF-8 text and, where needed, take escape sequences.
void PrepareUtf8Console();
// The program's arguments after its name, as UTF-8, whatever the system's code page.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// Writes UTF-8 text whole to stdout or stderr and flushes it: a console gets it as text in
// UTF-16 (Windows), a pipe or file the bytes as they are. False when the write failed (a full
// disk, a reader gone), with the system's words in *error when given.
bool WriteText(std::FILE* stream, std::string_view text, std::string* error = nullptr);
// The same, but only when the stream takes the text without waiting now (POSIX; Windows writes
// as WriteText): for the last words of a command whose output is stalled.
void WriteTextIfReady(std::FILE* stream, std::string_view text);
// Rows of the terminal on stderr; 0 when unknown.
int StderrRows();

}  // namespace iapflash::cli
