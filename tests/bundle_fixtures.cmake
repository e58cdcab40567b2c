# Programs for the --bundle tests, built for each target into
# fixtures/<target>/bundle/: a chain of versioned libraries and a plugin,
# linked with no run-time search path at all (the tests say where the
# libraries are), a library without a soname, a program that needs Debian's
# zlib, and a static program.
set(BUNDLE_FIXTURE_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/bundle)
foreach(target ${SFX_TARGETS})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/fixtures/${target}/bundle)
  set(t ${target})
  foreach(lib common b a extra plugin twice)
    add_library(bun_${lib}_${t} SHARED ${BUNDLE_FIXTURE_SOURCE}/bun_${lib}.c)
    set_target_properties(bun_${lib}_${t} PROPERTIES OUTPUT_NAME bun_${lib})
  endforeach()
  foreach(lib common b a extra)
    set_target_properties(bun_${lib}_${t} PROPERTIES VERSION 1.2.3 SOVERSION 1)
  endforeach()
  set_target_properties(bun_twice_${t} PROPERTIES NO_SONAME ON)
  target_link_libraries(bun_b_${t} PRIVATE bun_common_${t})
  target_link_libraries(bun_a_${t} PRIVATE bun_b_${t} bun_common_${t})
  target_link_libraries(bun_plugin_${t} PRIVATE bun_extra_${t})
  add_executable(bun_chain_${t} ${BUNDLE_FIXTURE_SOURCE}/chain.c)
  target_link_libraries(bun_chain_${t} PRIVATE bun_a_${t} ${CMAKE_DL_LIBS})
  add_executable(bun_zprobe_${t} ${BUNDLE_FIXTURE_SOURCE}/zprobe.c)
  target_link_libraries(bun_zprobe_${t} PRIVATE z)
  add_executable(bun_static_${t} ${BUNDLE_FIXTURE_SOURCE}/static.c)
  target_link_options(bun_static_${t} PRIVATE -static)
  set_target_properties(bun_chain_${t} PROPERTIES OUTPUT_NAME chain)
  set_target_properties(bun_zprobe_${t} PROPERTIES OUTPUT_NAME zprobe)
  set_target_properties(bun_static_${t} PROPERTIES OUTPUT_NAME static)
  # A decoy of libbun_common.so.1 in a directory of its own.
  add_library(bun_decoy_${t} SHARED ${BUNDLE_FIXTURE_SOURCE}/decoy_common.c)
  set_target_properties(bun_decoy_${t} PROPERTIES OUTPUT_NAME bun_common
    VERSION 1.2.3 SOVERSION 1 LIBRARY_OUTPUT_DIRECTORY ${dir}/decoy)
  target_compile_options(bun_decoy_${t} PRIVATE ${SFX_FLAGS_${t}} ${SFX_WARNINGS})
  target_link_options(bun_decoy_${t} PRIVATE ${SFX_FLAGS_${t}})
  list(APPEND SFX_FIXTURES bun_decoy_${t})
  foreach(x common b a extra plugin twice chain zprobe static)
    target_compile_options(bun_${x}_${t} PRIVATE ${SFX_FLAGS_${t}} ${SFX_WARNINGS})
    target_link_options(bun_${x}_${t} PRIVATE ${SFX_FLAGS_${t}})
    set_target_properties(bun_${x}_${t} PROPERTIES
      SKIP_BUILD_RPATH ON
      LIBRARY_OUTPUT_DIRECTORY ${dir}
      RUNTIME_OUTPUT_DIRECTORY ${dir})
    list(APPEND SFX_FIXTURES bun_${x}_${t})
  endforeach()
endforeach()
