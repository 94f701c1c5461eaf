# Shared by the check_*.cmake scripts: required arguments, comma lists, and a
# failure count so that one run reports every problem, not only the first.
macro(require_arguments)
    foreach(var ${ARGN})
        if(NOT DEFINED ${var})
            message(FATAL_ERROR "${var} not given")
        endif()
    endforeach()
endmacro()

macro(split_lists)
    foreach(var ${ARGN})
        string(REPLACE "," ";" ${var} "${${var}}")
    endforeach()
endmacro()

set(failures 0)
macro(fail message)
    message(SEND_ERROR "${message}")
    math(EXPR failures "${failures} + 1")
endmacro()
