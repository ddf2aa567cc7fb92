# The shared library, libvarlix.so.1 (varlix.dll on Windows): the decoder,
# the archive reader and the status table in one, for programs in any
# language with a C interface. It is compiled from the static libraries'
# own sources with every name hidden but the public functions, which the
# headers mark with VARLIX_API; the programs keep linking the static ones.

set(varlix_shared_sources)
foreach(library varlix_explode varlix_archive varlix_status)
    get_target_property(sources ${library} SOURCES)
    get_target_property(folder ${library} SOURCE_DIR)
    list(TRANSFORM sources PREPEND ${folder}/)
    list(APPEND varlix_shared_sources ${sources})
endforeach()

add_library(varlix_shared SHARED ${varlix_shared_sources})
add_library(varlix::varlix ALIAS varlix_shared)
set_target_properties(varlix_shared PROPERTIES OUTPUT_NAME varlix EXPORT_NAME varlix
                      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_compile_definitions(varlix_shared PRIVATE VARLIX_BUILDING_SHARED)
target_include_directories(varlix_shared PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                $<BUILD_INTERFACE:${VARLIX_GENERATED_DIR}>
                                                $<INSTALL_INTERFACE:${VARLIX_INSTALL_INCLUDEDIR}>)
if(WIN32)
    # varlix.dll, as Windows programs expect it; its import library keeps the "lib".
    set_target_properties(varlix_shared PROPERTIES PREFIX "")
endif()
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # Nothing of the static runtime libraries it may pull in is exported either.
    target_link_options(varlix_shared PRIVATE -Wl,--exclude-libs,ALL)
    # A missing symbol is found at link time rather than at load time; under
    # the sanitizers, their runtime comes with the program that loads it.
    if(NOT VARLIX_SANITIZE)
        target_link_options(varlix_shared PRIVATE -Wl,--no-undefined)
    endif()
endif()
