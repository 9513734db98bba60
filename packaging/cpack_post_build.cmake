# Run by cpack once the packages are made (CPACK_POST_BUILD_SCRIPTS): a ZIP is written again in
# a fixed order, with fixed times and modes (reproducible_zip.py says why).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(package MATCHES "\\.zip$")
        execute_process(COMMAND "${CPACK_HUNGSCAN_PYTHON}" "${CPACK_HUNGSCAN_REPRODUCIBLE_ZIP}" "${package}"
            RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "could not make ${package} reproducible: ${failed}")
        endif()
    endif()
endforeach()
