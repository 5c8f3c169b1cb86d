// Whole-file reading and writing for the platform's own text stores
// (registry store, unit files, profile files). Safe from any thread; callers
// serialise their read-modify-write cycles themselves.
#pragma once

#include <string>
#include <string_view>

#include "platform/posix/detail/ascii.h"
#include "platform/types.h"

namespace win::detail {

// The whole content of a file: ERROR_SUCCESS, or the Windows number of the
// failure (2 missing, 3 folder missing, 5 denied or a directory, ...).
DWORD ReadWholeFile(const std::string& path, std::string& content);

// Replaces the content of a file in place (created when missing, 0644, so
// an existing file's owner and permissions stay). A read-only file is
// refused with 5, as every write is; `flags` as CreateFileForWrite takes
// them (FILE_FLAG_OPEN_REPARSE_POINT: a link at the path is refused).
DWORD WriteWholeFile(const std::string& path, std::string_view content, DWORD flags = 0);

}  // namespace win::detail
