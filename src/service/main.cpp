// kvlogserver: the KVLogService service process, and its installer.
//   kvlogserver              run as the service (started by the service manager)
//   kvlogserver /INSTALL     register the service      (/SILENT: no success message)
//   kvlogserver /UNINSTALL   remove the registration
#include <string>
#include <vector>

#include "base/datetime.h"
#include "logsvc/kvlog_service.h"
#include "platform/service_control.h"
#include "service/svc_app.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the blocked
  // control signals and only the dispatcher takes them.
  win::PrepareServiceProcess();
  kv::ApplyServiceDateTimeSettings();
  return kv::RunServiceProgram(std::vector<std::string>(argv, argv + argc), "KVLogServer",
                               [](kv::TServiceApplication& application) {
                                 application.CreateServiceModule(kv::ServiceModule);
                               });
}
