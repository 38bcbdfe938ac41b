# Installs into a fresh prefix and checks that each program lands where a
# user looks for it.
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${build} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
include(GNUInstallDirs)
foreach(f
    ${CMAKE_INSTALL_BINDIR}/forkshare ${CMAKE_INSTALL_BINDIR}/fcntlcopy
    ${CMAKE_INSTALL_BINDIR}/oflagcopy ${CMAKE_INSTALL_BINDIR}/relaxcopy
    ${CMAKE_INSTALL_BINDIR}/arglines ${CMAKE_INSTALL_BINDIR}/firstwin
    ${CMAKE_INSTALL_BINDIR}/sumprint ${CMAKE_INSTALL_LIBEXECDIR}/fdlab/exe1)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
foreach(prog forkshare fcntlcopy oflagcopy relaxcopy arglines firstwin sumprint)
  if(NOT EXISTS ${prefix}/${CMAKE_INSTALL_MANDIR}/man1/${prog}.1)
    message(FATAL_ERROR "no manual page installed for ${prog}")
  endif()
endforeach()
file(GLOB bins RELATIVE ${prefix}/${CMAKE_INSTALL_BINDIR} ${prefix}/${CMAKE_INSTALL_BINDIR}/*)
list(LENGTH bins n)
if(NOT n EQUAL 7)
  message(FATAL_ERROR "expected the seven programs in ${CMAKE_INSTALL_BINDIR}, found: ${bins}")
endif()
file(REMOVE_RECURSE ${prefix})
