# The tests that hold only on Linux, each with its reason: one entry per test
# folder or test source (relative to tests/) or single test (Suite.Name),
# then the reason (no ";" in it). The Windows build leaves them out
# (tests/CMakeLists.txt), and only these may include the Linux backend's own
# headers ("platform/posix/...").
set(KV_LINUX_ONLY_TESTS
  faults                             "the real program under svcrun: signals, syslog and notify sockets, mount namespaces"
  man                                "the man pages, checked with groff and man-db"
  systemd                            "the service under a real systemd and its Debian package"
  svcrun                             "svcrun plays systemd's notify protocol and signals, and exists only on Linux"
  layering                           "a bash script over the source tree, whose one run on Linux covers both builds"
  support/notify_listener.cpp        "reads systemd notify datagrams"
  support/child_process.cpp          "starts programs with posix_spawn and ends them with signals"
  app/kvlogserver_test.cpp           "runs the program as a child process (support/child_process.cpp)"
  app/buffer_file_test.cpp           "runs the program as a child process (support/child_process.cpp)"
  kvlogsend                          "runs the program as a child process (support/child_process.cpp)"
  kvlogwatch                         "runs the program as a child process (support/child_process.cpp)"
  platform/ini_lines_test.cpp        "the INI engine of the Linux profile and registry store"
  platform/notify_protocol_test.cpp  "systemd's notify protocol"
  platform/unit_file_test.cpp        "systemd unit files"
  platform/service_control_test.cpp  "the dispatcher on systemd's notify socket, control requests as signals"
  platform/service_manager_test.cpp  "the service manager as systemd unit files and their links"
  platform/eventlog_test.cpp         "the entries as syslog datagrams on /dev/log"
  platform/registry_test.cpp         "the registry as the text store under KV_PLATFORM_ROOT"
  svchost/service_test.cpp           "the dispatcher on a notify socket (on Windows it needs the service manager itself)"
  svchost/service_process_test.cpp   "a service process under svcrun, controlled by signals"
  svchost/event_logger_test.cpp      "syslog entries and descriptor limits"
  logsvc/log_buffer_test.cpp         "a full disk made with RLIMIT_FSIZE"
  logsvc/writer_lifecycle_test.cpp   "the port-taken start binds a POSIX socket and the entries are read as syslog datagrams"
  IntakeLoadTest.OversizeDatagramInABatchIsReportedAndItsNeighboursLogged  "reads the warning entry as a syslog datagram"
  IntakeLoadTest.QueueOverflowIsReportedWithItsCount  "reads the warning entry as a syslog datagram"
  IntakeTest.Utf8VariantUsesReceiverTimeAndConvertsText  "expects UTF-8 as the character set (the C locale), where Windows has its ANSI code page"
  LogLine.ACutNeverSplitsACharacterAndBlanksKeepTheWidth  "expects UTF-8 as the character set (the C locale), where Windows has its ANSI code page"
  WinsockHandleTest.HandleZeroIsNoSocketAndStdinStaysOpen  "handles of our own that are never reused, where Windows reuses a closed socket's"
  WinsockDatagramTest.ReuseAddressLetsTwoSocketsBindOnePort  "shared ports with SO_REUSEADDR, which the Windows backend turns into exclusive use"
  MsgRecvTest.PortHeldWithReuseAddressCanBeOpenedAgain  "shared ports with SO_REUSEADDR, which the Windows backend turns into exclusive use"
  ThreadMessageTest.QueueRefusesPostsBeyondItsLimit  "Windows refuses posts beyond 10000 waiting messages, Wine has no such limit"
  app/service_app_test.cpp           "the service application reporting to a notify socket"
)
