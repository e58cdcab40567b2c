# What `cmake --install` puts under the prefix: the packer, the launcher
# runtimes it links against (each target's and, in static/, its static one), the CMake package and the man page. The runtimes
# go to lib/sfxlaunch/<target> (not the multiarch libdir): sfxpack finds them
# relative to its own location, so the installed tree can be moved whole.
include(CMakePackageConfigHelpers)

install(TARGETS sfxpack RUNTIME DESTINATION bin)
foreach(target ${SFX_TARGETS})
  install(TARGETS sfxlaunch_runtime_${target}
    ARCHIVE DESTINATION lib/sfxlaunch/${target})
  install(TARGETS sfxlaunch_runtime_${target}_static
    ARCHIVE DESTINATION lib/sfxlaunch/${target}/static)
endforeach()

write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/sfxlaunchConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion
  ARCH_INDEPENDENT)
install(FILES
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/sfxlaunchConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/sfxlaunchConfigVersion.cmake
  DESTINATION lib/cmake/sfxlaunch)

install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/sfxpack.1 DESTINATION share/man/man1)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION share/doc/sfxlaunch)
