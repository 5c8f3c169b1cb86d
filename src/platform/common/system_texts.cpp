#include "platform/common/system_texts.h"

#include <string>

#include "platform/common/backend.h"
#include "platform/error.h"

namespace win::detail {
namespace {

struct Text {
  DWORD code;
  const char* text;
};

// English Windows texts of the numbers the layer produces.
constexpr Text kTexts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {18, "There are no more files."},
    {29, "The system cannot write to the specified device."},
    {39, "The disk is full."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {1056, "An instance of the service is already running."},
    {1060, "The specified service does not exist as an installed service."},
    {1063, "The service process could not connect to the service controller."},
    {1066, "The service has returned a service-specific error code."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1083, "The executable program that this service is configured to run in does not implement the service."},
    {1400, "Invalid window handle."},
    {1444, "The thread identifier is invalid."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1816, "Not enough quota is available to process this command."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10039, "A required address was omitted from an operation on a socket."},
    {10040,
     "A message sent on a datagram socket was larger than the internal message buffer or some other network "
     "limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
    {10042, "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call."},
    {10043, "The requested protocol has not been configured into the system, or no implementation for it exists."},
    {10044, "The support for the specified socket type does not exist in this address family."},
    {10045, "The attempted operation is not supported for the type of object referenced."},
    {10047, "An address incompatible with the requested protocol was used."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10055,
     "An operation on a socket could not be performed because the system lacked sufficient buffer space or "
     "because a queue was full."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {10091,
     "WSAStartup cannot function at this time because the underlying system it uses to provide network "
     "services is currently unavailable."},
    {10092, "The Windows Sockets version requested is not supported."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
};

}  // namespace

const char* KnownSystemText(DWORD code) {
  for (const Text& t : kTexts) {
    if (t.code == code) return t.text;
  }
  return nullptr;
}

}  // namespace win::detail

namespace win {

// The Windows English texts of the numbers the program meets, the same
// whatever the system's language; then the system's own, then a generic one.
std::string FormatSystemMessage(DWORD code) {
  if (const char* known = detail::KnownSystemText(code)) return known;
  std::string text = detail::SystemErrorText(code);
  if (!text.empty()) return text;
  return "Unknown error " + std::to_string(code) + ".";
}

}  // namespace win
