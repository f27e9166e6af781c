# The program carries its own C++ library and the window module the shared one
# Qt needs. They stay apart only if the program exports none of its copy, so that
# the module never binds to it, and the module exports its entry alone.
foreach(binary PROGRAM MODULE)
  execute_process(COMMAND ${NM} -D --defined-only ${${binary}} RESULT_VARIABLE status OUTPUT_VARIABLE symbols)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${${binary}}")
  endif()
  string(REGEX MATCHALL "[^\n]+ [TtWwVvDdBbRrUui] [^\n]+" lines "${symbols}")
  set(${binary}_exports "")
  foreach(line ${lines})
    string(REGEX REPLACE ".* [A-Za-z] ([^@ ]+).*" "\\1" name "${line}")
    # What every linker adds and what the C library owns are no C++ library's.
    if(NOT name MATCHES "^(_edata|_end|__bss_start|_init|_fini|__libc_single_threaded|_IO_stdin_used)$")
      list(APPEND ${binary}_exports ${name})
    endif()
  endforeach()
endforeach()
if(NOT PROGRAM_exports STREQUAL "" OR NOT MODULE_exports STREQUAL "lanemarkStartWindow")
  message(FATAL_ERROR "program exports '${PROGRAM_exports}', module exports '${MODULE_exports}'")
endif()
