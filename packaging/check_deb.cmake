# Builds the Debian package into an empty folder and checks its control fields
# and its contents. Run by CTest:
#   cmake -DCPACK=... -DCPACK_CONFIG=... -DWORK_DIR=... -DCONFIG=...
#         -DDPKG_DEB=... -DPACKAGE=velmora -DVERSION=1.10 -DPROGRAMS=a,b
#         [-DLINTIAN=path] -P check_deb.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
require_arguments(CPACK CPACK_CONFIG WORK_DIR DPKG_DEB PACKAGE VERSION PROGRAMS)
split_lists(PROGRAMS)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(config_args)
if(CONFIG)
    set(config_args -C ${CONFIG})
endif()
execute_process(COMMAND ${CPACK} -G DEB --config ${CPACK_CONFIG} -B ${WORK_DIR} ${config_args}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cpack failed (${result}):\n${output}")
endif()
file(GLOB debs ${WORK_DIR}/${PACKAGE}_*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one ${PACKAGE}_*.deb in ${WORK_DIR}, found '${debs}'")
endif()

function(control_field field out)
    execute_process(COMMAND ${DPKG_DEB} --field ${debs} ${field}
        RESULT_VARIABLE result OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

control_field(Package package)
control_field(Version version)
control_field(Section section)
control_field(Maintainer maintainer)
control_field(Description description)
control_field(Depends depends)
if(NOT package STREQUAL PACKAGE)
    fail("Package: '${package}', expected '${PACKAGE}'")
endif()
if(NOT version STREQUAL VERSION)
    fail("Version: '${version}', expected '${VERSION}'")
endif()
if(section STREQUAL "" OR maintainer STREQUAL "")
    fail("Section '${section}' or Maintainer '${maintainer}' empty")
endif()
# A one-line summary, then the long text: every following line is indented.
string(REPLACE "\n" ";" description_lines "${description}")
list(LENGTH description_lines description_count)
if(description_count LESS 2)
    fail("Description has no long text:\n${description}")
endif()
# Computed from the programs' libraries, plus the windowing plugins that
# nothing links.
foreach(dependency libc6 libstdc\\+\\+6 libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins)
    if(NOT depends MATCHES "(^|, )${dependency}( |,|$)")
        fail("Depends lacks ${dependency}: ${depends}")
    endif()
endforeach()

execute_process(COMMAND ${DPKG_DEB} --contents ${debs}
    RESULT_VARIABLE result OUTPUT_VARIABLE listing)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --contents failed")
endif()
# Paths only, from lines such as "-rwxr-xr-x root/root 12345 2024-01-01 00:00 ./usr/bin/x".
string(REGEX MATCHALL "\\./[^\n]*" paths "${listing}")
set(expected ./usr/share/applications/velmora.desktop ./usr/share/applications/velmora-password.desktop
    ./usr/share/icons/hicolor/32x32/apps/velmora.png
    ./usr/share/doc/${PACKAGE}/copyright ./usr/share/doc/${PACKAGE}/changelog.gz)
foreach(program ${PROGRAMS})
    list(APPEND expected ./usr/bin/${program} ./usr/share/man/man1/${program}.1.gz)
endforeach()
foreach(path ${expected})
    if(NOT path IN_LIST paths)
        fail("the package lacks ${path}")
    endif()
endforeach()
foreach(path ${paths})
    if(path MATCHES "^\\./usr/bin/(.+)$" AND NOT CMAKE_MATCH_1 IN_LIST PROGRAMS)
        fail("the package holds ${path}, which is no installed program")
    endif()
    if(NOT path MATCHES "^\\./(usr/?.*)?$")
        fail("the package holds ${path}, outside /usr")
    endif()
endforeach()
# Every program is executable by everyone.
foreach(program ${PROGRAMS})
    if(NOT listing MATCHES "\n?-rwxr-xr-x [^\n]* \\./usr/bin/${program}\n")
        fail("./usr/bin/${program} is not mode 0755 in the package")
    endif()
endforeach()

# The changelog's newest entry is this version: a release bumped without its
# section in CHANGELOG.md fails here.
execute_process(COMMAND ${DPKG_DEB} --fsys-tarfile ${debs}
    COMMAND tar -xOf - ./usr/share/doc/${PACKAGE}/changelog.gz
    COMMAND gzip -dc
    RESULT_VARIABLE result OUTPUT_VARIABLE changelog)
string(REGEX MATCH "^[^\n]*" newest "${changelog}")
if(NOT newest MATCHES "^${PACKAGE} \\(${VERSION}\\) ")
    fail("the changelog's newest entry is '${newest}', not version ${VERSION}: add its section to CHANGELOG.md")
endif()

# Debian's own checker: no error and no warning. A tag that is right for this
# package is overridden in it, with the reason (lintian-overrides).
if(LINTIAN)
    execute_process(COMMAND ${LINTIAN} --fail-on error,warning ${debs}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0 OR output MATCHES "(^|\n)[EW]: ")
        fail("lintian (exit ${result}):\n${output}")
    endif()
else()
    message(STATUS "lintian not found: ${debs} not checked against Debian's policy")
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} problem(s) in ${debs}")
endif()
message(STATUS "${debs}: Depends: ${depends}")
