# The fuzz targets' inputs, made at build time into DIR/<target>/: seeds from
# the literal report table and ostrel_mqtt's example configuration, and the
# inputs that once crashed a target (fuzz/regressions/<target>/). Used by the fuzz build and by the ordinary
# suite, which replays them all through the same target bodies.
function(osl_fuzz_inputs target dir)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(fuzz_dir ${PROJECT_SOURCE_DIR}/fuzz)
  set(reports ${PROJECT_SOURCE_DIR}/tests/frames/fixtures/reports.inc)
  set(mqtt_toml ${PROJECT_SOURCE_DIR}/apps/mqtt/mqtt.toml)
  file(GLOB_RECURSE regressions CONFIGURE_DEPENDS ${fuzz_dir}/regressions/*)
  add_custom_command(
    OUTPUT ${dir}/stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dir}
    COMMAND ${Python3_EXECUTABLE} ${fuzz_dir}/make_seeds.py ${reports} ${mqtt_toml}
            ${fuzz_dir}/regressions ${dir}
    COMMAND ${CMAKE_COMMAND} -E touch ${dir}/stamp
    DEPENDS ${fuzz_dir}/make_seeds.py ${reports} ${mqtt_toml} ${regressions}
    COMMENT "Making the fuzz targets' inputs")
  add_custom_target(${target} ALL DEPENDS ${dir}/stamp)
endfunction()
