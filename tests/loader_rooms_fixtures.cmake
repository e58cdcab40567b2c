# A tree's second executable for the --libc tree tests (loader_rooms_test.cc),
# built for each target into fixtures/<target>/loader_rooms/: the program
# that starts it, and the helper with a library of its own. Linked with no
# run-time search path: the tests say where the library is, and only what a
# run writes into the helper's file leads to it.
set(ROOMS_FIXTURE_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/loader_rooms)
foreach(target ${SFX_TARGETS})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/fixtures/${target}/loader_rooms)
  set(t ${target})
  add_library(rooms_lib_${t} SHARED ${ROOMS_FIXTURE_SOURCE}/room_helper.c)
  set_target_properties(rooms_lib_${t} PROPERTIES OUTPUT_NAME room_helper)
  add_executable(rooms_helper_${t} ${ROOMS_FIXTURE_SOURCE}/helper.c)
  target_link_libraries(rooms_helper_${t} PRIVATE rooms_lib_${t})
  set_target_properties(rooms_helper_${t} PROPERTIES OUTPUT_NAME helper)
  add_executable(rooms_starter_${t} ${ROOMS_FIXTURE_SOURCE}/starter.c)
  set_target_properties(rooms_starter_${t} PROPERTIES OUTPUT_NAME starter)
  foreach(x lib helper starter)
    target_compile_options(rooms_${x}_${t} PRIVATE ${SFX_FLAGS_${t}} ${SFX_WARNINGS})
    target_link_options(rooms_${x}_${t} PRIVATE ${SFX_FLAGS_${t}})
    set_target_properties(rooms_${x}_${t} PROPERTIES
      SKIP_BUILD_RPATH ON
      LIBRARY_OUTPUT_DIRECTORY ${dir}
      RUNTIME_OUTPUT_DIRECTORY ${dir})
    list(APPEND SFX_FIXTURES rooms_${x}_${t})
  endforeach()
endforeach()
