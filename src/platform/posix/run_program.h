// Runs a system program (systemctl, systemd-sysusers) and waits for it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace win::detail {

// Runs `argv[0]` (looked up in PATH) with its standard streams on
// /dev/null, its signal mask empty and SIGPIPE at its default (the service
// process blocks its control signals and ignores SIGPIPE), and waits at
// most `limit` for it; a program still running then is killed. True when
// it ran and ended with exit code 0. Safe from any thread.
bool RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

}  // namespace win::detail
