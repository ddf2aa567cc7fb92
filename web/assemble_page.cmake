# Writes OUTPUT_DIR/index.html: the page template with its style, its script,
# the version and the worker's script (fflate, then emscripten's glue with
# the wasm inside and worker.js) embedded as text. Run with cmake -P.
#
# The page's scripts become one function, in strict mode, so that they share
# their names with one another and with nothing else; page.js, last, starts
# the page.

file(READ ${SOURCE_DIR}/page.css PAGE_CSS)
set(PAGE_SCRIPT "(function () {\n'use strict';\n")
foreach(script page_names.js page_tree.js page_output.js page_worker.js page.js)
    file(READ ${SOURCE_DIR}/${script} text)
    string(APPEND PAGE_SCRIPT "\n${text}")
endforeach()
string(APPEND PAGE_SCRIPT "})();\n")
file(READ ${SOURCE_DIR}/vendor/fflate/LICENSE fflate_licence)
file(READ ${SOURCE_DIR}/vendor/fflate/fflate.min.js fflate)
file(READ ${WORKER_SCRIPT} glue)
set(WORKER_SOURCE "/*\nfflate, vendored in web/vendor/fflate:\n${fflate_licence}*/\n${fflate}\n${glue}")

file(STRINGS ${VERSION_HEADER} version_line REGEX "^#define VARLIX_VERSION \"")
string(REGEX REPLACE "^#define VARLIX_VERSION \"([^\"]*)\".*" "\\1" VARLIX_VERSION "${version_line}")
if(VARLIX_VERSION STREQUAL "")
    message(FATAL_ERROR "no VARLIX_VERSION in ${VERSION_HEADER}")
endif()

# Inside a script element, the HTML parser ends the element at "</script"
# and changes state at "<!--": the embedded texts must hold neither.
foreach(part PAGE_SCRIPT WORKER_SOURCE)
    string(TOLOWER "${${part}}" lowered)
    string(FIND "${lowered}" "</script" closing)
    string(FIND "${lowered}" "<!--" comment)
    if(NOT closing EQUAL -1 OR NOT comment EQUAL -1)
        message(FATAL_ERROR "${part} holds </script or <!--, which would break the page")
    endif()
endforeach()

configure_file(${SOURCE_DIR}/index.html ${OUTPUT_DIR}/index.html @ONLY)
