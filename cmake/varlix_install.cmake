# Install rules, the CMake package and the pkg-config file.
#
# Three components: "runtime" is the programs and their man pages, "library"
# the shared library, "development" the public headers, the static
# libraries, the shared library's link name and the files that find them.
# The internal headers (explode/explode_internal.h, archive/archive_internal.h,
# archive/file_ops.h), the command-line library, the development tools and
# the tests stay out. The Debian packages (debian/) split along the same line.

include(CMakePackageConfigHelpers)

set(VARLIX_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varlix)

set(VARLIX_INSTALLED_LIBRARIES varlix_archive varlix_explode varlix_status)

install(TARGETS ${VARLIX_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
foreach(program IN LISTS VARLIX_PROGRAMS)
    install(FILES ${PROJECT_BINARY_DIR}/docs/${program}.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endforeach()

install(TARGETS ${VARLIX_INSTALLED_LIBRARIES} EXPORT varlix_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
if(TARGET varlix_shared)
    install(TARGETS varlix_shared EXPORT varlix_targets
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
                    NAMELINK_COMPONENT development
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/archive/archive.h
        DESTINATION ${VARLIX_INSTALL_INCLUDEDIR}/archive COMPONENT development)
install(FILES ${VARLIX_GENERATED_DIR}/varlix_version.h ${PROJECT_SOURCE_DIR}/varlix_api.h
        DESTINATION ${VARLIX_INSTALL_INCLUDEDIR} COMPONENT development)
# cli/version.h forwards to varlix_version.h, for programs that include it still.
install(FILES ${PROJECT_SOURCE_DIR}/cli/status.h ${PROJECT_SOURCE_DIR}/cli/version.h
        DESTINATION ${VARLIX_INSTALL_INCLUDEDIR}/cli COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/explode/explode.h
        DESTINATION ${VARLIX_INSTALL_INCLUDEDIR}/explode COMPONENT development)

# find_package(varlix): the imported targets varlix::varlix (the shared
# library), varlix::archive, varlix::explode and varlix::status (the static
# ones), located relative to the config file so that the installed tree can
# be moved.
install(EXPORT varlix_targets NAMESPACE varlix:: FILE varlixTargets.cmake
        DESTINATION ${VARLIX_CMAKE_PACKAGE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/varlixConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/varlixConfig.cmake
                              INSTALL_DESTINATION ${VARLIX_CMAKE_PACKAGE_DIR})
# The libraries' interface may change between major versions only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/varlixConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/varlixConfig.cmake
              ${PROJECT_BINARY_DIR}/varlixConfigVersion.cmake
        DESTINATION ${VARLIX_CMAKE_PACKAGE_DIR} COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own place, so that
# `cmake --install --prefix` and a DESTDIR staging (as for the .deb) need no
# second configure.
set(VARLIX_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${VARLIX_PKGCONFIG_DIR}")
    set(VARLIX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH VARLIX_PC_UP "/prefix/${VARLIX_PKGCONFIG_DIR}" "/prefix")
    string(REGEX REPLACE "/$" "" VARLIX_PC_UP "${VARLIX_PC_UP}")
    set(VARLIX_PC_PREFIX "\${pcfiledir}/${VARLIX_PC_UP}")
endif()
foreach(dir VARLIX_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
    if(IS_ABSOLUTE "${${dir}}")
        set(VARLIX_PC_${dir} "${${dir}}")
    else()
        set(VARLIX_PC_${dir} "\${prefix}/${${dir}}")
    endif()
endforeach()
# varlix.pc links the shared library, varlix-static.pc the static ones.
foreach(pc varlix varlix-static)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${VARLIX_PKGCONFIG_DIR}
            COMPONENT development)
endforeach()

# What an install needs built, and no more: `make install` builds this target
# alone, so that installing does not build the tests.
add_custom_target(varlix_installables)
add_dependencies(varlix_installables ${VARLIX_PROGRAMS} ${VARLIX_INSTALLED_LIBRARIES})
if(TARGET varlix_shared)
    add_dependencies(varlix_installables varlix_shared)
endif()
