# The sfxlaunch package: find_package(sfxlaunch) gives the packer as the
# imported executable sfxlaunch::sfxpack and the function
# sfxlaunch_add_launcher, which packs built targets into a self-extracting
# launcher as one more target of the project.
#
#   sfxlaunch_add_launcher(NAME <name> PROGRAM <target-or-file>
#                          [LIBRARIES <target-or-file>...]
#                          [BUNDLE [LIBC]] [EXCLUDE <library-name>...]
#                          [TARGET x86_64|i386] [STATIC_RUNTIME] [OUTPUT_DIRECTORY <dir>]
#                          [MAX_GLIBC <X.Y>] [LEVEL 0-9] [CACHE_DIR <dir>] [NO_CACHE])
#
# NAME is both the launcher's file name and the name of the target that
# builds it (built by default, like the project's other outputs). Without
# BUNDLE the launcher holds PROGRAM and LIBRARIES, each shared library under
# its soname; PROGRAM must find them through the run-time search path
# $ORIGIN. With BUNDLE, sfxpack collects PROGRAM's shared libraries itself,
# and LIBRARIES are added as files the program opens at run time (plugins,
# data). The launcher is packed again whenever one of them, or sfxpack,
# changes. It is written to OUTPUT_DIRECTORY, or else to
# CMAKE_RUNTIME_OUTPUT_DIRECTORY, or else to the current binary directory.
# With MAX_GLIBC, packing fails when an entry needs a glibc newer than X.Y (a
# program asks for the glibc it was built against: build it on, or for, the
# oldest system it must run on). LIBC (with BUNDLE) packs the C library and
# its loader too, so that the program runs on older glibc and on systems with
# none at all (Alpine, distroless containers), at the cost of about 1.9 MB
# more launcher; any MAX_GLIBC is then met. STATIC_RUNTIME links the launcher
# statically, for payloads that need no C library either (a static Go or Rust
# program, busybox): it then starts without libc.so.6 or a loader, at the cost
# of about 750 KB; LIBC implies it.
#
# LEVEL is sfxpack's --level (default 9; lower packs faster and larger).
# sfxpack keeps compressed streams in its cache, so that packing again after
# a change of the program alone compresses only the program. The cache that
# is in effect when the project is configured is the one its builds use:
# CACHE_DIR, else SFXPACK_CACHE, SFXPACK_CACHE_MAX and XDG_CACHE_HOME as CMake
# variables or, failing that, as environment variables at configure time;
# what is set neither way is left to the environment of the build. NO_CACHE
# packs without the cache.

# The package lives in <prefix>/lib/cmake/sfxlaunch: the installed tree can
# be moved as a whole.
get_filename_component(_sfxlaunch_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(sfxlaunch_SFXPACK "${_sfxlaunch_prefix}/bin/sfxpack")
set(sfxlaunch_RUNTIME_DIR "${_sfxlaunch_prefix}/lib/sfxlaunch")

if(NOT EXISTS "${sfxlaunch_SFXPACK}")
  set(sfxlaunch_FOUND FALSE)
  set(sfxlaunch_NOT_FOUND_MESSAGE "sfxpack is missing: ${sfxlaunch_SFXPACK}")
  return()
endif()

if(NOT TARGET sfxlaunch::sfxpack)
  add_executable(sfxlaunch::sfxpack IMPORTED)
  set_target_properties(sfxlaunch::sfxpack PROPERTIES
    IMPORTED_LOCATION "${sfxlaunch_SFXPACK}")
endif()

# A target's built file, or a path taken relative to the current source
# directory; with what the packing step must depend on, and the --name that
# gives a shared library the name its users' loader asks for.
function(_sfxlaunch_input item with_soname out_args out_depends)
  set(args)
  if(TARGET "${item}")
    get_target_property(type "${item}" TYPE)
    if(with_soname AND type STREQUAL "SHARED_LIBRARY")
      list(APPEND args --name "$<TARGET_SONAME_FILE_NAME:${item}>")
    endif()
    list(APPEND args "$<TARGET_FILE:${item}>")
  else()
    get_filename_component(path "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND args "${path}")
    set(item "${path}")
  endif()
  set(${out_args} "${args}" PARENT_SCOPE)
  set(${out_depends} "${item}" PARENT_SCOPE)
endfunction()

# The cache settings in effect now, as NAME=VALUE for `cmake -E env`:
# CACHE_DIR, else each variable as set in CMake or in the environment.
function(_sfxlaunch_cache_environment cache_dir out_env)
  set(env)
  foreach(var SFXPACK_CACHE SFXPACK_CACHE_MAX XDG_CACHE_HOME)
    if(var STREQUAL "SFXPACK_CACHE" AND cache_dir)
      get_filename_component(value "${cache_dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    elseif(DEFINED ${var})
      set(value "${${var}}")
    elseif(DEFINED ENV{${var}})
      set(value "$ENV{${var}}")
    else()
      continue()
    endif()
    if(NOT value STREQUAL "")
      list(APPEND env "${var}=${value}")
    endif()
  endforeach()
  set(${out_env} "${env}" PARENT_SCOPE)
endfunction()

function(sfxlaunch_add_launcher)
  cmake_parse_arguments(PARSE_ARGV 0 arg "BUNDLE;LIBC;STATIC_RUNTIME;NO_CACHE"
    "NAME;PROGRAM;TARGET;OUTPUT_DIRECTORY;MAX_GLIBC;LEVEL;CACHE_DIR" "LIBRARIES;EXCLUDE")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "sfxlaunch_add_launcher: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_NAME OR NOT arg_PROGRAM)
    message(FATAL_ERROR "sfxlaunch_add_launcher: NAME and PROGRAM are required")
  endif()
  if(arg_EXCLUDE AND NOT arg_BUNDLE)
    message(FATAL_ERROR "sfxlaunch_add_launcher: EXCLUDE needs BUNDLE")
  endif()
  if(arg_LIBC AND NOT arg_BUNDLE)
    message(FATAL_ERROR "sfxlaunch_add_launcher: LIBC needs BUNDLE")
  endif()
  if(arg_TARGET AND NOT arg_TARGET MATCHES "^(x86_64|i386)$")
    message(FATAL_ERROR "sfxlaunch_add_launcher: TARGET is x86_64 or i386, not ${arg_TARGET}")
  endif()
  if(arg_MAX_GLIBC AND NOT arg_MAX_GLIBC MATCHES "^[0-9]+(\\.[0-9]+)+$")
    message(FATAL_ERROR "sfxlaunch_add_launcher: MAX_GLIBC is a glibc release such as 2.17, "
      "not ${arg_MAX_GLIBC}")
  endif()

  if(DEFINED arg_LEVEL AND NOT arg_LEVEL MATCHES "^[0-9]$")
    message(FATAL_ERROR "sfxlaunch_add_launcher: LEVEL is 0 to 9, not ${arg_LEVEL}")
  endif()
  if(arg_NO_CACHE AND arg_CACHE_DIR)
    message(FATAL_ERROR "sfxlaunch_add_launcher: CACHE_DIR and NO_CACHE exclude each other")
  endif()
  _sfxlaunch_cache_environment("${arg_CACHE_DIR}" cache_env)

  if(arg_OUTPUT_DIRECTORY)
    get_filename_component(dir "${arg_OUTPUT_DIRECTORY}" ABSOLUTE
      BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  elseif(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(dir "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  else()
    set(dir "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  set(output "${dir}/${arg_NAME}")
  set(packed "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/sfxlaunch/${arg_NAME}")

  set(command)
  set(depends "${sfxlaunch_SFXPACK}"
    "${sfxlaunch_RUNTIME_DIR}/x86_64/libsfxlaunch.a"
    "${sfxlaunch_RUNTIME_DIR}/i386/libsfxlaunch.a")
  if(arg_TARGET)
    list(APPEND command --target ${arg_TARGET})
  endif()
  if(arg_STATIC_RUNTIME)
    list(APPEND command --static-runtime)
  endif()
  if(arg_STATIC_RUNTIME OR arg_LIBC)
    list(APPEND depends "${sfxlaunch_RUNTIME_DIR}/x86_64/static/libsfxlaunch.a"
      "${sfxlaunch_RUNTIME_DIR}/i386/static/libsfxlaunch.a")
  endif()
  if(arg_MAX_GLIBC)
    list(APPEND command --max-glibc ${arg_MAX_GLIBC})
  endif()
  if(DEFINED arg_LEVEL)
    list(APPEND command --level ${arg_LEVEL})
  endif()
  if(arg_NO_CACHE)
    list(APPEND command --no-cache)
  endif()
  if(arg_BUNDLE)
    list(APPEND command --bundle)
    if(arg_LIBC)
      list(APPEND command --libc)
    endif()
    foreach(name IN LISTS arg_EXCLUDE)
      list(APPEND command --exclude "${name}")
    endforeach()
    foreach(item IN LISTS arg_LIBRARIES)
      _sfxlaunch_input("${item}" FALSE args dep)
      list(APPEND command --include ${args})
      list(APPEND depends "${dep}")
    endforeach()
    _sfxlaunch_input("${arg_PROGRAM}" FALSE args dep)
    list(APPEND command -o "${packed}" ${args})
    list(APPEND depends "${dep}")
  else()
    _sfxlaunch_input("${arg_PROGRAM}" FALSE args dep)
    list(APPEND command -o "${packed}" ${args})
    list(APPEND depends "${dep}")
    foreach(item IN LISTS arg_LIBRARIES)
      _sfxlaunch_input("${item}" TRUE args dep)
      list(APPEND command ${args})
      list(APPEND depends "${dep}")
    endforeach()
  endif()

  # The launcher is packed inside CMakeFiles, whenever an input changes, and
  # copied out by the target: a target and a file of the same name in the
  # same directory would otherwise be one node in the build graph, which
  # make reports as circular and ninja refuses.
  add_custom_command(OUTPUT "${packed}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/sfxlaunch"
    COMMAND "${CMAKE_COMMAND}" -E env ${cache_env} "$<TARGET_FILE:sfxlaunch::sfxpack>" ${command}
    DEPENDS ${depends}
    COMMENT "Packing the launcher ${arg_NAME}"
    VERBATIM)
  add_custom_target(${arg_NAME} ALL
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
    COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${packed}" "${output}"
    DEPENDS "${packed}"
    VERBATIM)
  set_property(DIRECTORY APPEND PROPERTY ADDITIONAL_CLEAN_FILES "${output}")
endfunction()
