// The Windows number for a call that failed on a path.
#pragma once

#include <string>

#include "platform/types.h"

namespace win::detail {

// A missing entry is 2 (ERROR_FILE_NOT_FOUND) when its folder exists and 3
// (ERROR_PATH_NOT_FOUND) when the folder itself is missing, as Windows tells
// the two apart; a path through a file is 3; other errno values map as
// ErrorFromErrno does.
DWORD ErrorForPath(int err, const std::string& path);

}  // namespace win::detail
