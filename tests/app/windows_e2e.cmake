# The Windows build only: the service under Wine's service manager, end to
# end (windows_service_e2e.sh), with svc_probe, a small program that asks
# the manager what Wine's sc cannot (QueryServiceConfigA, ControlService),
# reads registry values and a message file's text as Event Viewer would,
# and the text of a message box on the screen.
# The Linux programs the test sends with are built from the same sources in
# KV_LINUX_TOOLS_DIR when they are not there.
add_executable(svc_probe svc_probe.cpp)
target_link_libraries(svc_probe PRIVATE advapi32 user32 kv_options)
set(KV_LINUX_TOOLS_DIR ${CMAKE_BINARY_DIR}/linux-tools CACHE PATH "Linux build of kvlogserver, kvlogsend, kvlogwatch")
set(kv_msi_argument "")
if(TARGET msi)
  set(kv_msi_argument ${KV_MSI})
endif()
add_test(NAME windows_service_e2e
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows_service_e2e.sh $<TARGET_FILE:kvlogserver>
                 $<TARGET_FILE:svc_probe> ${KV_LINUX_TOOLS_DIR} ${kv_msi_argument})
set_tests_properties(windows_service_e2e PROPERTIES TIMEOUT 1500 RUN_SERIAL TRUE)

# The install and uninstall boxes on an X server of their own (Xvfb), with a
# screenshot of each in desktop-boxes/ of the build folder.
add_test(NAME windows_desktop_boxes
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows_desktop_boxes.sh $<TARGET_FILE:kvlogserver>
                 $<TARGET_FILE:svc_probe> ${CMAKE_BINARY_DIR}/desktop-boxes)
set_tests_properties(windows_desktop_boxes PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
