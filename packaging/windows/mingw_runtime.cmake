# The MinGW runtime DLLs that Qt for MinGW and our programs load, as paths on
# the build machine: VELMORA_MINGW_RUNTIME_DLLS (empty for other compilers).
set(VELMORA_MINGW_RUNTIME_DLLS)
if(MINGW)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
            OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
        endif()
        list(APPEND VELMORA_MINGW_RUNTIME_DLLS ${path})
    endforeach()
endif()
