# The FUSE host and the mount helper mount.mtpfs (into build/bin).
add_library(kestrumhost STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/FuseHost.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/MTPFileSystem.cpp
)
target_link_libraries(kestrumhost PUBLIC kestrumfs mtp_placeholder mtp_usb PkgConfig::FUSE3)
target_compile_definitions(kestrumhost PUBLIC FUSE_USE_VERSION=34)

add_executable(mount.mtpfs ${CMAKE_CURRENT_SOURCE_DIR}/mount_main.cpp)
target_link_libraries(mount.mtpfs PRIVATE kestrumhost)
