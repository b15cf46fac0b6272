# End-to-end tests of mount.mtpfs through the kernel: placeholder image, loop device, FUSE mount,
# the simulated phone on the virtual USB bus. Label e2e.

# One CTest test per script; each runs its cases in fresh simulated phones and prints
# "N passed, N failed, N skipped". They need root (loop devices); without it they skip.
foreach(script
    e2e_browse.sh
    e2e_large.sh
    e2e_load.sh
    e2e_names.sh
    e2e_user.sh
    e2e_write.sh
    e2e_write_faults.sh
)
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME fs_${name} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/${script})
  set_tests_properties(fs_${name} PROPERTIES
    LABELS e2e
    ENVIRONMENT "E2E_BIN=${CMAKE_BINARY_DIR}/bin"
    SKIP_RETURN_CODE 77
    TIMEOUT 300)
endforeach()

# Faults armed while mounted: the test hosts the virtual USB bus itself.
add_executable(fs_e2e_faults ${CMAKE_CURRENT_SOURCE_DIR}/e2e_faults.cpp)
target_link_libraries(fs_e2e_faults PRIVATE usbbus phonesim mtp GTest::gmock GTest::gtest_main)
target_compile_definitions(fs_e2e_faults PRIVATE E2E_BIN="${CMAKE_BINARY_DIR}/bin")
set_target_properties(fs_e2e_faults PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(fs_e2e_faults mount.mtpfs)
# Under the preload, as a bus host must be for its uevents.
add_test(NAME fs_e2e_faults COMMAND umockdev-wrapper $<TARGET_FILE:fs_e2e_faults>)
set_tests_properties(fs_e2e_faults PROPERTIES LABELS e2e TIMEOUT 300)

# Probe, load and unload below the kernel, with in-process phones (fast; label fs).
brisvale_test(fs_mtpfilesystem ${CMAKE_CURRENT_SOURCE_DIR}/e2e_filesystem.cpp
              LIBS kestrumhost phonesim LABELS fs)

# fsx through the kernel: seeded random operations on a read-write mount, checked against a
# model and the phone's storage folder. KESTRUM_FSX_SEED and KESTRUM_FSX_STEPS reproduce a run.
add_executable(fs_e2e_fsx ${CMAKE_CURRENT_SOURCE_DIR}/e2e_fsx.cpp)
target_link_libraries(fs_e2e_fsx PRIVATE usbbus phonesim mtp GTest::gtest_main)
target_compile_definitions(fs_e2e_fsx PRIVATE E2E_BIN="${CMAKE_BINARY_DIR}/bin")
set_target_properties(fs_e2e_fsx PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(fs_e2e_fsx mount.mtpfs)
add_test(NAME fs_e2e_fsx COMMAND umockdev-wrapper $<TARGET_FILE:fs_e2e_fsx>)
set_tests_properties(fs_e2e_fsx PROPERTIES LABELS e2e TIMEOUT 300)
