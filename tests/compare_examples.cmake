file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
# EMULATOR, when set, runs a cross-built generator.
execute_process(COMMAND ${EMULATOR} "${GENERATOR}" "${OUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_examples failed: ${rc}")
endif()
foreach(name container.bin bios.bin ZOR.dat)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${SHIPPED}/${name}" "${OUT}/${name}"
                  RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "examples/${name} differs from what make_examples writes")
  endif()
endforeach()
