#include "platform/posix/unit_file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/codepage.h"
#include "platform/posix/detail/ascii.h"
#include "platform/posix/ini_lines.h"
#include "platform/posix/root.h"

namespace win::detail {
namespace {

bool IsReadOnlyForEveryone(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// Is this line an assignment of `Description`?
bool IsDescription(const IniLines& lines, std::size_t i) {
  std::optional<IniKey> key = lines.Key(i);
  return key && key->name == "Description";
}

bool ContinuesOnNextLine(std::string_view line) { return !line.empty() && line.back() == '\\'; }

std::optional<IniSection> FindUnitSection(const IniLines& lines) {
  return lines.FindSection([](std::string_view name) { return name == "Unit"; });
}

// The text in double quotes, with "\\" and '"' escaped: one word to systemd.
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// The executable path as the first word of ExecStart: quoted, with "\" and
// '"' escaped, when it holds blanks, quotes or backslashes, so that a path
// with a blank still names the whole file.
std::string ExecStartPath(std::string_view path) {
  std::string escaped = EscapeSpecifiers(AnsiToUtf8(path));
  if (escaped.find_first_of(" \t\"'\\") == std::string::npos) return escaped;
  return Quoted(escaped);
}

// The sandbox of the service process. It runs as its own system user
// (User=, standing for the LocalSystem account), never as root, and keeps
// what a log service needs: UDP and local sockets, the syslog socket and
// the notify socket, ports below 1024 (CAP_NET_BIND_SERVICE, its only
// capability, given to the user as an ambient one), and writing where its
// user may, outside /usr, /boot, /efi and /etc (read-only) and the home
// folders (hidden). Files it makes are for it and its group only
// (UMask=0027). Everything else is taken away: an exposure of about 1.2 in
// `systemd-analyze security`. ProtectHome= follows in
// ExecutableVisibility, as it depends on where the executable lies.
constexpr std::string_view kSandbox =
    "UMask=0027\n"
    "NoNewPrivileges=yes\n"
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
    "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
    "ProtectSystem=full\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "DevicePolicy=closed\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_INET AF_UNIX\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "KeyringMode=private\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n";

// The folders the sandbox above hides (ProtectHome=) or replaces with
// private ones (PrivateTmp=). An executable below one of them is not there
// for the service process: systemd would fail the start with 203/EXEC.
constexpr std::string_view kHomeFolders[] = {"/home", "/root", "/run/user"};
constexpr std::string_view kTemporaryFolders[] = {"/tmp", "/var/tmp"};

// Does `path` lie below `folder` (whole path components; runs of "/" count
// as one, as they do for the kernel)?
bool LiesBelow(std::string_view path, std::string_view folder) {
  std::string collapsed;
  for (char c : path) {
    if (c != '/' || collapsed.empty() || collapsed.back() != '/') collapsed += c;
  }
  return collapsed.size() > folder.size() + 1 && collapsed.compare(0, folder.size(), folder) == 0 &&
         collapsed[folder.size()] == '/';
}

template <std::size_t N>
bool LiesBelowAny(std::string_view path, const std::string_view (&folders)[N]) {
  for (std::string_view folder : folders) {
    if (LiesBelow(path, folder)) return true;
  }
  return false;
}

// The executable as one word of BindReadOnlyPaths=, which splits at blanks
// and at ":" (source:destination:options): quoted when it holds either (or
// a quote or a backslash).
std::string BindPath(std::string_view path) {
  std::string escaped = EscapeSpecifiers(AnsiToUtf8(path));
  if (escaped.find_first_of(" \t\"'\\:") == std::string::npos) return escaped;
  return Quoted(escaped);
}

// The sandbox settings that make an executable below a hidden or private
// folder visible to the service, read-only and nothing else of its folder:
// the home folders become empty read-only ones (ProtectHome=tmpfs) instead
// of inaccessible ones, so that systemd can bind the file into them; a
// private /tmp takes the binding as it is.
std::string ExecutableVisibility(std::string_view binaryPath) {
  const bool inHome = LiesBelowAny(binaryPath, kHomeFolders);
  if (!inHome && !LiesBelowAny(binaryPath, kTemporaryFolders)) return "ProtectHome=yes\n";
  return std::string(inHome ? "ProtectHome=tmpfs\n" : "ProtectHome=yes\n") +
         "BindReadOnlyPaths=" + BindPath(binaryPath) + "\n";
}

// "man:NAME(8)" for the executable's file name.
std::string ManualPage(std::string_view binaryPath) {
  std::string_view name = binaryPath.substr(binaryPath.find_last_of('/') + 1);
  std::string page = EscapeSpecifiers(AnsiToUtf8(name));
  if (page.empty() || page.find_first_of(" \t\"'\\") != std::string::npos) return "";
  return "man:" + page + "(8)";
}

}  // namespace

std::string RenderUnit(std::string_view displayName, std::string_view binaryPath,
                       const std::vector<std::string>& dependencies, std::string_view account) {
  std::string text = "[Unit]\nDescription=" + EscapeSpecifiers(AnsiToUtf8(displayName)) + "\n";
  if (std::string page = ManualPage(binaryPath); !page.empty()) text += "Documentation=" + page + "\n";
  text += "After=network.target\n";
  for (const std::string& dependency : dependencies) {
    text += "Requires=" + dependency + std::string(kUnitSuffix) + "\n";
    text += "After=" + dependency + std::string(kUnitSuffix) + "\n";
  }
  // A failed start or a failure while running ends the process with a
  // non-zero code, and systemd starts it again 5 seconds later: the port
  // may be free by then (a program that held it has ended) or the folder
  // there (a late mount). The process cannot tell a failure that heals from
  // one that does not (settings that name a folder that will never be
  // there), so the tries are bounded instead: after 5 starts within 2
  // minutes systemd gives up, and the unit stays failed with the last
  // reason in its journal until it is started again.
  text += "StartLimitIntervalSec=120\nStartLimitBurst=5\n";
  text += "\n[Service]\nType=notify\nExecStart=" + ExecStartPath(binaryPath) + "\n";
  const std::string user = EscapeSpecifiers(account);
  text += "User=" + user + "\nGroup=" + user + "\n";
  text += "Restart=on-failure\nRestartSec=5\n";
  text += kSandbox;
  text += ExecutableVisibility(binaryPath);
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

bool IsUnitEntry(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
}

std::string UnitFolder() { return PlatformPath("/etc/systemd/system"); }

std::string FindUnit(const std::string& serviceName) {
  const std::string folder = UnitFolder();
  const std::string wanted = serviceName + std::string(kUnitSuffix);
  if (IsUnitEntry(folder + "/" + wanted)) return wanted;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return "";
  std::string found;
  while (const struct dirent* entry = readdir(dir)) {
    if (EqualsNoCase(entry->d_name, wanted) && IsUnitEntry(folder + "/" + entry->d_name)) {
      found = entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

bool MayWrite(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return !IsReadOnlyForEveryone(st.st_mode) && access(path.c_str(), W_OK) == 0;
  std::string::size_type slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return access(folder.c_str(), W_OK) == 0;
}

bool MayWriteFolder(const std::string& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || IsReadOnlyForEveryone(st.st_mode)) return false;
  return access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string EscapeSpecifiers(std::string_view text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string UnescapeSpecifiers(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
  }
  return out;
}

std::string AnsiToUtf8(std::string_view text) {
  if (GetACP() == CP_UTF8) return std::string(text);
  return WideCharToMultiByte(CP_UTF8, AnsiToWideChar(text));
}

std::optional<std::string> ReadDescription(std::string_view unitText) {
  IniLines lines(unitText, IniRules::Store());
  std::optional<IniSection> unit = FindUnitSection(lines);
  if (!unit) return std::nullopt;
  std::optional<std::string_view> found;
  for (std::size_t i = unit->header + 1; i < unit->end; ++i) {
    if (IsDescription(lines, i)) found = TrimBlanks(lines.Key(i)->value);  // the last one is in force
  }
  if (!found) return std::nullopt;
  return Utf8ToAnsi(UnescapeSpecifiers(*found));
}

std::string WithDescription(std::string_view unitText, std::string_view ansiText) {
  IniLines lines(unitText, IniRules::Store());
  lines.EndLastLine();
  const std::string_view ending = lines.FirstLineEnd();
  const std::string newLine = "Description=" + EscapeSpecifiers(AnsiToUtf8(ansiText));
  std::optional<IniSection> unit = FindUnitSection(lines);
  if (!unit) {
    // Before the first section: lines above it belong to no section and
    // must not become part of the new one (a stray Description there would
    // then be read instead of this one).
    std::size_t at = lines.NextHeader(0);
    bool atEnd = at == lines.Count();
    lines.Insert(at, "[Unit]", ending);
    lines.Insert(at + 1, newLine, ending);
    if (!atEnd) lines.Insert(at + 2, "", ending);
    return lines.Print();
  }
  bool placed = false;
  std::size_t i = unit->header + 1;
  std::size_t end = unit->end;
  while (i < end) {
    if (!IsDescription(lines, i)) {
      ++i;
      continue;
    }
    std::size_t last = i;
    while (ContinuesOnNextLine(lines.Text(last)) && last + 1 < end) ++last;
    if (!placed) {
      lines.Replace(i, newLine, ending);
      lines.Erase(i + 1, last + 1);
      end -= last - i;
      ++i;
    } else {
      lines.Erase(i, last + 1);
      end -= last + 1 - i;
    }
    placed = true;
  }
  if (!placed) lines.Insert(unit->header + 1, newLine, ending);
  return lines.Print();
}

}  // namespace win::detail
