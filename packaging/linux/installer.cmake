# CPack post-build step: Halvex_Service_Setup.run beside the packages, made
# from the agent's .deb.
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  if(file MATCHES "/halvex-service_[^/]*\\.deb$")
    set(deb ${file})
  endif()
endforeach()
if(NOT deb)
  message(FATAL_ERROR "installer: no halvex-service .deb among ${CPACK_PACKAGE_FILES}")
endif()
# The packages are still in CPack's staging folder; they end up in
# CPACK_PACKAGE_DIRECTORY, and so does the installer.
set(dir ${CPACK_PACKAGE_DIRECTORY})
execute_process(COMMAND ${CPACK_HALVEX_MAKE_INSTALLER} ${dir}/Halvex_Service_Setup.run --deb ${deb}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "installer: make-installer failed (${rc})")
endif()
message(STATUS "installer: ${dir}/Halvex_Service_Setup.run")
