# The Debian package, built with CPack: `make package` gives
# sfxlaunch_<version>_amd64.deb, installing under /usr what cmake --install
# installs under a prefix.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sfxlaunch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "sfxlaunch developers <sfxlaunch@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "self-extracting launchers for Linux programs and their shared libraries")
set(CPACK_PACKAGE_DESCRIPTION
  "sfxpack packs a program and the shared libraries it loads from its own
directory into one executable, for x86_64 or i386. Started like the program,
the launcher unpacks them into a private temporary directory, runs the
program, waits, removes what it unpacked and exits with the program's status.
sfxpack --bundle collects a built program's libraries itself. A CMake package
(find_package(sfxlaunch)) makes such a launcher part of a project's build.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries sfxpack itself loads come from dpkg-shlibdeps; at pack time
# it also runs the compiler driver and the binutils to link each launcher
# against the C library's development files (libc.a for --static-runtime),
# patchelf for --bundle, and needs the 32-bit C library's development files
# for i386 launchers.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "gcc | c-compiler, binutils, libc6-dev, patchelf")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gcc-multilib")
include(CPack)
