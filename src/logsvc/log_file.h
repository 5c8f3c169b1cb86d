// Log files: their names and the writing of a buffer into one.
#pragma once

#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/stringlist.h"

namespace kv {

// "kvs" + yyyymmddhhnnss + ".log":  2024-03-05 14:07:09 -> "kvs20240305140709.log"
// With `alternative` n > 0, the n-th name a save takes when the usual one
// is held by something else: "kvs20240305140709-1.log".
std::string LogFileName(const DateTimeParts& at, int alternative = 0);

// How many alternative names a save tries before it keeps its lines.
constexpr int kAlternativeLogNames = 9;

// folder + "/" + name; the separator is always added, also after a folder
// that ends in one.
std::string LogFilePath(std::string_view folder, const DateTimeParts& at, int alternative = 0);

// The saved-file line that ends every file: "** saved file <path> **".
std::string SavedFileLine(std::string_view path);

// Writes every line followed by CR LF, in large blocks. An existing file of
// the same name (a second save within the same second) is appended to, so no
// saved line is lost. Raises EInOutError with the platform's code when the
// file cannot be opened, written or closed; a file that was opened stays on
// disk with what was written.
void WriteLogFile(const std::string& path, const TStringList& lines);

}  // namespace kv
