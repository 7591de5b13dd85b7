# Configures and builds the cross project, then runs its tests under wine in a prefix kept
# in the build folder. Fails when a step fails or a test fails.
function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output
                  TIMEOUT 600)
  message("${output}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed: ${result}")
  endif()
  set(step_output "${output}" PARENT_SCOPE)
endfunction()

run_step("Configuring the Windows tests"
  ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DKESTREL_VERSION_RC=${VERSION_RC})
run_step("Building the Windows tests" ${CMAKE_COMMAND} --build ${BINARY_DIR} -j2)
run_step("The Windows tests under wine"
  ${CMAKE_COMMAND} -E env WINEPREFIX=${BINARY_DIR}/wineprefix WINEDEBUG=-all
  ${WINE} ${BINARY_DIR}/kestrel_windows_tests.exe)
if(NOT step_output MATCHES "\\[  PASSED  \\] [1-9]")
  message(FATAL_ERROR "The Windows tests did not report their end")
endif()
