// The service's own text beside its state. Windows' service manager keeps
// no such text (the Services console shows the state alone), so the text is
// only checked against its handle and then let go.
#include "platform/error.h"
#include "platform/service_control.h"

namespace win {

BOOL SetServiceStatusText(SERVICE_STATUS_HANDLE handle, const char*) {
  if (!handle) return detail::Fail(ERROR_INVALID_HANDLE);
  return TRUE_;
}

}  // namespace win
