# Programs for the glibc floor tests, built for each target into
# fixtures/<target>/glibc/: one linked with a stand-in library whose versions
# are named like glibc's (so that what it needs is known exactly), and a C++
# program that needs the system's libstdc++.
set(GLIBC_FIXTURE_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/glibc)
foreach(t ${SFX_TARGETS})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/fixtures/${t}/glibc)
  add_library(fake_glibc_${t} SHARED ${GLIBC_FIXTURE_SOURCE}/fake_glibc.c)
  target_link_options(fake_glibc_${t} PRIVATE
    -Wl,--version-script=${GLIBC_FIXTURE_SOURCE}/fake_glibc.map)
  set_target_properties(fake_glibc_${t} PROPERTIES OUTPUT_NAME fake_glibc
    VERSION 1.0 SOVERSION 1
    LINK_DEPENDS ${GLIBC_FIXTURE_SOURCE}/fake_glibc.map)
  add_executable(glibc_newest_${t} ${GLIBC_FIXTURE_SOURCE}/newest.c)
  target_link_libraries(glibc_newest_${t} PRIVATE fake_glibc_${t})
  add_executable(glibc_cxxprobe_${t} ${GLIBC_FIXTURE_SOURCE}/cxxprobe.cc)
  set_target_properties(glibc_newest_${t} PROPERTIES OUTPUT_NAME newest)
  set_target_properties(glibc_cxxprobe_${t} PROPERTIES OUTPUT_NAME cxxprobe)
  foreach(x fake_glibc glibc_newest glibc_cxxprobe)
    sfx_build_for_target(${x}_${t} ${t} ${dir})
    list(APPEND SFX_FIXTURES ${x}_${t})
  endforeach()
endforeach()
