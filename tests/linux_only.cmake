# The tests that hold only on Linux, each with its reason: one entry per test
# folder or test source (relative to tests/), then the reason. The Windows
# build leaves them out (kv_portable_tests in tests/CMakeLists.txt), and only
# these may include the Linux backend's own headers ("platform/posix/...").
set(KV_LINUX_ONLY_TESTS
  faults                             "the real program under svcrun: signals, syslog and notify sockets, mount namespaces"
  man                                "the man pages, checked with groff and man-db"
  systemd                            "the service under a real systemd and its Debian package"
  svcrun                             "svcrun plays systemd's notify protocol and signals; it exists only on Linux"
  layering                           "a bash script over the source tree; one run on Linux covers both builds"
  support/notify_listener.cpp        "reads systemd notify datagrams"
  platform/ini_lines_test.cpp        "the INI engine of the Linux profile and registry store"
  platform/notify_protocol_test.cpp  "systemd's notify protocol"
  platform/unit_file_test.cpp        "systemd unit files"
)
