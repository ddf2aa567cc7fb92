# The version is written once, in the project() line. From it the build
# writes varlix_version.h (VARLIX_VERSION) and the man pages as installed,
# whose .TH lines name it; debian/changelog must name it too.

set(VARLIX_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/varlix_version.h.in ${VARLIX_GENERATED_DIR}/varlix_version.h
               @ONLY)

# docs/<program>.1 with the version added to the fourth field of its .TH
# line, which names the program alone in the sources; written to docs/ in the
# build tree.
function(varlix_man_page program)
    set(source ${PROJECT_SOURCE_DIR}/docs/${program}.1)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} page)
    string(REGEX REPLACE "\n\\.TH ([^ \n]+) ([^ \n]+) ([^ \n]+) ${program} "
                         "\n.TH \\1 \\2 \\3 \"${program} ${PROJECT_VERSION}\" " versioned "${page}")
    if(versioned STREQUAL page)
        message(FATAL_ERROR "${source}: the .TH line must name the program, unquoted, "
                            "as its fourth field: .TH NAME 1 DATE ${program} ...")
    endif()
    file(WRITE ${PROJECT_BINARY_DIR}/docs/${program}.1 "${versioned}")
endfunction()

foreach(program IN LISTS VARLIX_PROGRAMS)
    varlix_man_page(${program})
endforeach()

# The Debian packages take their version from debian/changelog: its top entry
# must be this version (a Debian revision after a '-' aside), or a package
# would carry another version than the programs and headers inside it.
set(VARLIX_CHANGELOG ${PROJECT_SOURCE_DIR}/debian/changelog)
if(VARLIX_TOP_LEVEL AND EXISTS ${VARLIX_CHANGELOG})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VARLIX_CHANGELOG})
    file(STRINGS ${VARLIX_CHANGELOG} top_entry LIMIT_COUNT 1)
    if(NOT top_entry MATCHES "^varlix \\(([0-9]+:)?([^-) ]+)(-[^) ]+)?\\) "
       OR NOT CMAKE_MATCH_2 STREQUAL PROJECT_VERSION)
        message(FATAL_ERROR "debian/changelog's top entry is not for version "
                            "${PROJECT_VERSION}: ${top_entry}")
    endif()
endif()
