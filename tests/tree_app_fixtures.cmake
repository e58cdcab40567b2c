# tree_app (tree_app_test.cc), built for each target into
# fixtures/<target>/tree_app/ as an application is installed: the program,
# its helper (and a symbolic link to it) under libexec/tree_app/, its plugin
# under lib/tree_app/plugins/. The helper's and the plugin's libraries are
# built into fixtures/<target>/tree_app_libs/, where no loader looks unless
# told: the helper finds its own through a RUNPATH, the plugin through an
# RPATH, both naming that directory, as an application built against
# libraries in a place of its own finds them. The program and the helper
# start on the launcher's start-up code, so that they also run on Debian
# 11's glibc when it is not packed.
set(TREE_APP_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/tree_app)

function(tree_app_on_old_glibc name target)
  target_sources(${name} PRIVATE
    ${PROJECT_SOURCE_DIR}/launcher/compat/start_${target}.S
    ${PROJECT_SOURCE_DIR}/launcher/compat/start_init.cc)
  target_compile_options(${name} PRIVATE -fno-pie -U_FORTIFY_SOURCE -fno-stack-protector
    -include ${PROJECT_SOURCE_DIR}/launcher/compat/glibc_floor.h
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
  target_link_options(${name} PRIVATE -no-pie -nostartfiles)
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
endfunction()

foreach(t ${SFX_TARGETS})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/fixtures/${t}/tree_app)
  set(libs ${CMAKE_CURRENT_BINARY_DIR}/fixtures/${t}/tree_app_libs)
  add_library(tree_help_${t} SHARED ${TREE_APP_SOURCE}/treehelp.c)
  target_compile_definitions(tree_help_${t} PRIVATE TREE_LIBRARY_VERSION="1.4")
  set_target_properties(tree_help_${t} PROPERTIES OUTPUT_NAME treehelp
    VERSION 1.4.0 SOVERSION 1)
  add_library(tree_plug_${t} SHARED ${TREE_APP_SOURCE}/treeplug.c)
  target_compile_definitions(tree_plug_${t} PRIVATE TREE_LIBRARY_VERSION="2.5")
  set_target_properties(tree_plug_${t} PROPERTIES OUTPUT_NAME treeplug
    VERSION 2.5.0 SOVERSION 1)
  foreach(x help plug)
    set_target_properties(tree_${x}_${t} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${libs})
  endforeach()

  add_executable(tree_helper_${t} ${TREE_APP_SOURCE}/tree_helper.c)
  target_link_libraries(tree_helper_${t} PRIVATE tree_help_${t})
  tree_app_on_old_glibc(tree_helper_${t} ${t})
  target_link_options(tree_helper_${t} PRIVATE -Wl,--enable-new-dtags)
  set_target_properties(tree_helper_${t} PROPERTIES OUTPUT_NAME tree_helper
    BUILD_RPATH ${libs} RUNTIME_OUTPUT_DIRECTORY ${dir}/libexec/tree_app)
  # git's helpers are links to git in the same way.
  add_custom_command(TARGET tree_helper_${t} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink tree_helper ${dir}/libexec/tree_app/tree_link)

  add_library(tree_plugin_${t} MODULE ${TREE_APP_SOURCE}/tree_plugin.c)
  target_link_libraries(tree_plugin_${t} PRIVATE tree_plug_${t})
  target_link_options(tree_plugin_${t} PRIVATE -Wl,--disable-new-dtags)
  set_target_properties(tree_plugin_${t} PROPERTIES PREFIX "" OUTPUT_NAME tree_plugin
    BUILD_RPATH ${libs} LIBRARY_OUTPUT_DIRECTORY ${dir}/lib/tree_app/plugins)

  add_executable(tree_app_${t} ${TREE_APP_SOURCE}/tree_app.c)
  tree_app_on_old_glibc(tree_app_${t} ${t})
  target_link_libraries(tree_app_${t} PRIVATE
    -Wl,--push-state,--no-as-needed -l:libdl.so.2 -Wl,--pop-state)
  set_target_properties(tree_app_${t} PROPERTIES OUTPUT_NAME tree_app
    SKIP_BUILD_RPATH ON RUNTIME_OUTPUT_DIRECTORY ${dir})

  foreach(x tree_help tree_plug tree_helper tree_plugin tree_app)
    target_compile_options(${x}_${t} PRIVATE ${SFX_FLAGS_${t}} ${SFX_WARNINGS})
    target_link_options(${x}_${t} PRIVATE ${SFX_FLAGS_${t}})
    list(APPEND SFX_FIXTURES ${x}_${t})
  endforeach()
endforeach()
