// Installing and uninstalling the application's services with the service
// manager.
#include <string>

#include "app/app_texts.h"
#include "app/svc_app.h"
#include "base/exception.h"
#include "base/format.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/message_box.h"
#include "platform/module.h"
#include "svchost/service_texts.h"

namespace kv {
namespace {

// Closes a service-manager handle when the scope ends.
class ScHandle {
 public:
  explicit ScHandle(win::SC_HANDLE handle) : handle_(handle) {}
  ~ScHandle() {
    if (handle_) win::CloseServiceHandle(handle_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  win::SC_HANDLE get() const { return handle_; }

 private:
  win::SC_HANDLE handle_;
};

void ShowBox(std::string_view utf8OrAnsiText, std::string_view captionUtf8, win::UINT icon) {
  std::string text(utf8OrAnsiText);
  std::string caption = win::Utf8ToAnsi(captionUtf8);
  win::MessageBox(text.c_str(), caption.c_str(), win::MB_OK | icon);
}

}  // namespace

std::string BuildDependencyList(const TService& service) {
  std::size_t size = 0;
  for (const TDependency& item : service.Dependencies()) size += item.Name.size() + 1 + (item.IsGroup ? 1 : 0);
  if (size == 0) return "";
  std::string list;
  list.reserve(size + 1);
  for (const TDependency& item : service.Dependencies()) {
    if (item.IsGroup) list += win::SC_GROUP_IDENTIFIER;
    list += item.Name;
    list += '\0';
  }
  list += '\0';
  return list;
}

bool TServiceApplication::InstallOrUninstall(bool install, bool silent) {
  ScHandle manager(win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  if (!manager.get()) RaiseLastOSError();
  bool success = true;
  for (TService* service : Services()) {
    try {
      if (install) InstallService(*service, manager.get());
      else UninstallService(*service, manager.get());
    } catch (...) {
      success = false;
      std::string format = win::Utf8ToAnsi(install ? ServiceInstallFailedFormat : ServiceUninstallFailedFormat);
      ShowBox(Format(format, {service->DisplayName(), CurrentFailureText()}), ErrorCaption, win::MB_ICONERROR);
    }
  }
  if (success && !silent)
    ShowBox(win::Utf8ToAnsi(install ? ServiceInstallSuccessText : ServiceUninstallSuccessText), InformationCaption,
            win::MB_ICONINFORMATION);
  return success;
}

void TServiceApplication::InstallService(TService& service, win::SC_HANDLE manager) {
  // The whole path, however long: a cut path would register a file that is
  // not this program.
  const std::string path = win::ModuleFileName();
  if (service.BeforeInstall()) service.BeforeInstall()(service);
  win::DWORD tag = service.TagID();
  win::DWORD* tagPointer = tag > 0 ? &tag : nullptr;
  const char* startName = service.ServiceStartName().empty() ? nullptr : service.ServiceStartName().c_str();
  const std::string dependencies = BuildDependencyList(service);
  const std::string displayName = service.DisplayName();
  win::SC_HANDLE created = win::CreateService(
      manager, service.Name().c_str(), displayName.c_str(), win::SERVICE_ALL_ACCESS, service.WindowsServiceType(),
      service.WindowsStartType(), service.WindowsErrorControl(), path.c_str(), service.LoadGroup().c_str(), tagPointer,
      dependencies.c_str(), startName, service.Password().c_str());
  const win::DWORD error = win::GetLastError();
  service.SetTagID(tag);
  if (!created) throw EOSError(error);
  ScHandle handle(created);
  if (service.AfterInstall()) {
    try {
      service.AfterInstall()(service);
    } catch (...) {
      win::DeleteService(handle.get());
      throw;
    }
  }
}

void TServiceApplication::UninstallService(TService& service, win::SC_HANDLE manager) {
  if (service.BeforeUninstall()) service.BeforeUninstall()(service);
  {
    ScHandle handle(win::OpenService(manager, service.Name().c_str(), win::SERVICE_ALL_ACCESS));
    if (!handle.get()) RaiseLastOSError();
    if (!win::DeleteService(handle.get())) throw EOSError(win::GetLastError());
  }
  if (service.AfterUninstall()) service.AfterUninstall()(service);
}

}  // namespace kv
