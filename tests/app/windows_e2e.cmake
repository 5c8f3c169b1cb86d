# The Windows build only: the service under Wine's service manager, end to
# end (windows_service_e2e.sh), with svc_probe, a small program that asks
# the manager what Wine's sc cannot (QueryServiceConfigA, ControlService).
# The Linux programs the test sends with are built from the same sources in
# KV_LINUX_TOOLS_DIR when they are not there.
add_executable(svc_probe svc_probe.cpp)
target_link_libraries(svc_probe PRIVATE advapi32 kv_options)
set(KV_LINUX_TOOLS_DIR ${CMAKE_BINARY_DIR}/linux-tools CACHE PATH "Linux build of kvlogserver, kvlogsend, kvlogwatch")
set(kv_msi_argument "")
if(TARGET msi)
  set(kv_msi_argument ${KV_MSI})
endif()
add_test(NAME windows_service_e2e
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows_service_e2e.sh $<TARGET_FILE:kvlogserver>
                 $<TARGET_FILE:svc_probe> ${KV_LINUX_TOOLS_DIR} ${kv_msi_argument})
set_tests_properties(windows_service_e2e PROPERTIES TIMEOUT 1500 RUN_SERIAL TRUE)
