# End-to-end tests of mount.mtpfs through the kernel: placeholder image, loop device, FUSE mount,
# the simulated phone on the virtual USB bus. One test per script, each running its cases in
# fresh simulated phones under a watchdog shorter than the time-out here, so that its clean-up
# always runs. Label e2e; they need root (loop devices) and skip without it.
foreach(script e2e_browse e2e_fsx e2e_load e2e_write e2e_write_faults)
  add_test(NAME fs_${script} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/${script}.sh)
  set_tests_properties(fs_${script} PROPERTIES LABELS e2e TIMEOUT 300 SKIP_RETURN_CODE 77
                       ENVIRONMENT "E2E_BIN=${CMAKE_BINARY_DIR}/bin")
endforeach()

# The random operations e2e_fsx.sh runs; KESTRUM_FSX_SEED and KESTRUM_FSX_STEPS reproduce a run.
add_executable(fs_e2e_fsx ${CMAKE_CURRENT_SOURCE_DIR}/e2e_fsx.cpp)
target_include_directories(fs_e2e_fsx PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(fs_e2e_fsx PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
