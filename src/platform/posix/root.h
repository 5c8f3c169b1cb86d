// Where the emulated system locations live: under the folder named by the
// environment variable KV_PLATFORM_ROOT, or "/" when it is unset or empty.
// Read on every call, so tests can point it at a temporary folder.
#pragma once

#include <string>
#include <string_view>

namespace win {

// The root, without a trailing separator ("" for "/").
std::string PlatformRoot();
// The root joined with an absolute system path: "/etc/x" -> "<root>/etc/x".
std::string PlatformPath(std::string_view systemPath);

}  // namespace win
