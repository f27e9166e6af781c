# Drives the built program on a copy of the bundled sample as a user would:
# inspect, apply the delivery preset, inspect again; then with nowhere to
# write the result.
function(expect_run expected_status expected_out)
  execute_process(COMMAND ${PROGRAM} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL expected_status OR NOT out STREQUAL expected_out)
    message(FATAL_ERROR "lanemark ${ARGN}: status ${status}, output '${out}', errors '${err}'")
  endif()
endfunction()

# A result that never reaches standard output is no success.
function(expect_full_disk expected_err)
  execute_process(COMMAND ${PROGRAM} ${ARGN} OUTPUT_FILE /dev/full RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 1 OR NOT err STREQUAL "${expected_err}\n")
    message(FATAL_ERROR "lanemark ${ARGN} >/dev/full: status ${status}, errors '${err}'")
  endif()
endfunction()

set(copy ${WORK}/twelve-tracks.mov)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY_FILE ${SAMPLE} ${copy})
expect_run(0 "[1, 2, 3, 4, 5, 6, 42, 42, 42, 42, 42, 42]\n" --inspect ${copy})
expect_run(0 "Saved and verified\n" --apply-preset ${copy})
expect_run(0 "[1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39]\n" --inspect ${copy})
# The backup puts the sample back byte for byte, and stays.
expect_run(0 "Restored and verified\n" --restore ${copy})
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SAMPLE} ${copy} RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "the restored movie differs from the sample")
endif()
expect_run(1 "" --apply-preset ${copy})
if(NOT EXISTS ${copy}.lanemark-backup)
  message(FATAL_ERROR "no backup beside the movie")
endif()
expect_full_disk("The labels could not be written to standard output." --inspect ${copy})
expect_full_disk("Standard output could not be written." --version)
file(REMOVE ${copy}.lanemark-backup)
expect_full_disk("The movie was saved and verified, but standard output could not be written." --apply-preset ${copy})
expect_run(0 "[1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39]\n" --inspect ${copy})
# The verbs never load Qt nor a cryptographic library: the dynamic loader lists every library the process loads.
execute_process(COMMAND env LD_DEBUG=libs ${PROGRAM} --inspect ${copy}
                RESULT_VARIABLE status ERROR_VARIABLE loaded OUTPUT_QUIET)
if(NOT status EQUAL 0 OR NOT loaded MATCHES "libc\\.so" OR loaded MATCHES "libcrypto" OR loaded MATCHES "libQt")
  message(FATAL_ERROR "--inspect (status ${status}) loaded Qt or libcrypto, or the loader listed nothing: ${loaded}")
endif()
file(REMOVE_RECURSE ${WORK})
