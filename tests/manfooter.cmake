# Each page, as man(1) shows it, names this project in its footer, where a
# bare .Os would name some BSD, or the machine's own system.
string(REPLACE "," ";" pages "${pages}")
foreach(page ${pages})
  execute_process(COMMAND ${man} -l ${page} RESULT_VARIABLE rc
    OUTPUT_VARIABLE text ERROR_VARIABLE err)
  string(STRIP "${text}" text)
  string(REGEX REPLACE ".*\n" "" footer "${text}")
  if(NOT rc EQUAL 0 OR NOT footer MATCHES "^fdlab ")
    message(FATAL_ERROR "${page}: footer \"${footer}\" ${err}")
  endif()
endforeach()
