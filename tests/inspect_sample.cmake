# Runs the built program on the bundled sample and checks its one line of output.
execute_process(COMMAND ${PROGRAM} --inspect ${SAMPLE}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT out STREQUAL "[1, 2, 3, 4, 5, 6, 42, 42, 42, 42, 42, 42]\n")
  message(FATAL_ERROR "inspect of the sample gave status ${status}, output '${out}', errors '${err}'")
endif()
