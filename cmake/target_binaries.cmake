# Programs and libraries built for one launcher target (x86_64 or i386) to be
# packed into launchers: compiled for that target and linked with a run-time
# search path of $ORIGIN only, so that they load their libraries from beside
# themselves once unpacked.
function(sfx_build_for_target name target output_dir)
  target_compile_options(${name} PRIVATE ${SFX_FLAGS_${target}} ${SFX_WARNINGS})
  target_link_options(${name} PRIVATE ${SFX_FLAGS_${target}} -Wl,--enable-new-dtags)
  set_target_properties(${name} PROPERTIES
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "\$ORIGIN"
    LIBRARY_OUTPUT_DIRECTORY ${output_dir}
    RUNTIME_OUTPUT_DIRECTORY ${output_dir})
endfunction()
