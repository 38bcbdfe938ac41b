# Installs into a fresh prefix and checks that each program lands where a
# user looks for it.
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${build} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
include(GNUInstallDirs)
# programs comes comma-separated: a list would not pass through -D whole.
string(REPLACE "," ";" programs "${programs}")
set(files ${CMAKE_INSTALL_LIBEXECDIR}/fdlab/exe1)
foreach(prog ${programs})
  list(APPEND files ${CMAKE_INSTALL_BINDIR}/${prog}
    ${CMAKE_INSTALL_MANDIR}/man1/${prog}.1)
endforeach()
foreach(f ${files})
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(GLOB bins RELATIVE ${prefix}/${CMAKE_INSTALL_BINDIR} ${prefix}/${CMAKE_INSTALL_BINDIR}/*)
list(LENGTH bins n)
if(NOT n EQUAL 7)
  message(FATAL_ERROR "expected the seven programs in ${CMAKE_INSTALL_BINDIR}, found: ${bins}")
endif()
file(REMOVE_RECURSE ${prefix})
