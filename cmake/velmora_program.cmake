# velmora_add_program(TARGET PRODUCT name VERSION n.nn SOURCES ... LIBRARIES ...)
# One of the programs: a windowed executable, installed in bin/, with the
# wrench icon and its name and version in the Windows resources. The
# resources are written everywhere, so that other systems check that they
# compile; the property VELMORA_RC_FILE names them.
set(VELMORA_PROGRAM_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/program.rc.in)

function(velmora_add_program target)
    cmake_parse_arguments(ARG "" "PRODUCT;VERSION" "SOURCES;LIBRARIES" ${ARGN})
    qt_add_executable(${target} WIN32 MACOSX_BUNDLE ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES})
    install(TARGETS ${target} RUNTIME DESTINATION bin BUNDLE DESTINATION .)

    if(NOT ARG_VERSION MATCHES "^([0-9]+)\\.([0-9]+)$")
        message(FATAL_ERROR "velmora_add_program(${target}): VERSION must be N.NN, not '${ARG_VERSION}'")
    endif()
    # "1.00" is 1,0 in the resource's numbers.
    math(EXPR rc_major "${CMAKE_MATCH_1}")
    math(EXPR rc_minor "${CMAKE_MATCH_2}")
    set(rc_version ${ARG_VERSION})
    set(rc_product ${ARG_PRODUCT})
    set(rc_target ${target})
    set(rc_file_name ${target}.exe)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${VELMORA_PROGRAM_RC_TEMPLATE} ${rc} @ONLY)
    set_property(TARGET ${target} PROPERTY VELMORA_RC_FILE ${rc})
    if(WIN32)
        target_sources(${target} PRIVATE ${rc})
        # A new ICO rebuilds the resources: nothing else tracks the files a resource script names.
        set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VELMORA_ICON_ICO})
    endif()
endfunction()
