// The systemd unit files that stand for services: their folder, how a
// service finds its unit, the text CreateService writes, and the
// Description that the service's registry key shows. One set of rules for
// the service manager and the registry. All but FindUnit, UnitFolder and
// MayWrite are pure text functions. Safe from any thread.
//
// The service manager's database is the folder of systemd unit files,
// `<root>/etc/systemd/system` (root as in platform/root.h). A service is the
// unit `<name>.service` there:
//
//   [Unit]
//   Description=<display name>
//
//   [Service]
//   Type=notify
//   ExecStart=<binary path>
//   User=<the service's own system user>
//   Group=<its group>
//
//   [Install]
//   WantedBy=multi-user.target
//
// Automatic start (SERVICE_AUTO_START) is the link that `systemctl enable`
// makes, `multi-user.target.wants/<name>.service`, pointing at the unit
// ("../<name>.service", so it resolves under any root). Service names are
// compared without regard to letter case, as on Windows. On the real root
// with systemd running, closing a service handle that created or deleted a
// unit runs `systemctl daemon-reload` (best effort), so systemd sees the
// unit with everything written to it meanwhile (its description).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace win::detail {

inline constexpr std::string_view kUnitSuffix = ".service";

// <platform root>/etc/systemd/system.
std::string UnitFolder();

// The unit file name of a service as it stands in the unit folder ("" when
// the service has none). Service names are case-blind, unit file names are
// not: an exact match comes first, then a case-blind one. The entry itself
// counts, not what it points to: a link is the service's unit even when its
// target is missing (a dangling link), so that the service can be opened,
// seen in the registry and deleted, and a second one of that name is
// refused; reading its Description then fails with 2 and nothing is written
// through it.
std::string FindUnit(const std::string& serviceName);
// Does this path hold a unit by those rules (a file, or a link whatever it
// points to)?
bool IsUnitEntry(const std::string& path);

// May this file be rewritten (and, when missing, created in its folder)?
// A file or folder without any write permission bit is refused even for the
// super-user, whom access(2) would let through.
bool MayWrite(const std::string& path);
// May this process create and remove entries in the folder?
bool MayWriteFolder(const std::string& folder);

// systemd expands "%" specifiers in most unit settings: "%%" is a plain "%".
std::string EscapeSpecifiers(std::string_view text);
std::string UnescapeSpecifiers(std::string_view text);

// The program's texts are in the ANSI code page; unit files are UTF-8.
std::string AnsiToUtf8(std::string_view text);

// The unit CreateService writes for a service running `binaryPath` (ANSI)
// as the system user `account` (and its group), with the display name
// (ANSI) as its Description and a Requires= and After= for each service it
// depends on.
std::string RenderUnit(std::string_view displayName, std::string_view binaryPath,
                       const std::vector<std::string>& dependencies, std::string_view account);

// The Description of the unit's [Unit] section (its last assignment, the one
// systemd uses) in the ANSI code page; nullopt when there is none.
std::optional<std::string> ReadDescription(std::string_view unitText);

// The unit text with its Description set to `ansiText`: the first
// assignment in [Unit] is replaced, later ones (and their continuation
// lines) go; a unit without [Unit] gets one before its first section.
std::string WithDescription(std::string_view unitText, std::string_view ansiText);

}  // namespace win::detail
