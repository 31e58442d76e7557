include(CMakePackageConfigHelpers)

# Shared builds get versioned names and a SONAME. Before 1.0 every minor version may
# break the ABI (the package's version file asks for the same minor version too).
if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(SENSORLIB_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
else()
    set(SENSORLIB_SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
set_target_properties(${SENSORLIB_INSTALL_TARGETS} PROPERTIES VERSION ${PROJECT_VERSION}
                                                              SOVERSION ${SENSORLIB_SOVERSION})

install(TARGETS ${SENSORLIB_INSTALL_TARGETS} EXPORT SensorLibTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sensorlib)
# The simulator and the example go along so that a newcomer can try an owner against a
# sensor without keeping the build tree. Linked against shared libraries, they find
# them through a run path relative to themselves, so the prefix needs no loader
# configuration and may be moved.
set(SENSORLIB_INSTALL_PROGRAMS "")
if(SENSORLIB_BUILD_TOOLS)
    foreach(program sensor_sim sensor_example)
        if(TARGET ${program})
            list(APPEND SENSORLIB_INSTALL_PROGRAMS ${program})
        endif()
    endforeach()
endif()
if(SENSORLIB_INSTALL_PROGRAMS)
    if(BUILD_SHARED_LIBS)
        file(RELATIVE_PATH SENSORLIB_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
        set_target_properties(${SENSORLIB_INSTALL_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/${SENSORLIB_BIN_TO_LIB}")
    endif()
    install(TARGETS ${SENSORLIB_INSTALL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(CODE "
    set(HEADER_DIRS \"${SENSORLIB_HEADER_DIRS}\")
    set(UMBRELLAS SensorLib.h SensorPlatform.h SensorTransports.h)
    set(INCLUDE_DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR}/sensorlib\")
    set(STAGING_DIR \"${CMAKE_CURRENT_BINARY_DIR}/installed-headers\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/InstallHeaders.cmake\")")
install(EXPORT SensorLibTargets NAMESPACE SensorLib:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/SensorLib)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SensorLibConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/SensorLibConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/SensorLib)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/SensorLibConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/SensorLibConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/SensorLibConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/SensorLib)

list(TRANSFORM SENSORLIB_INSTALL_TARGETS PREPEND "-l" OUTPUT_VARIABLE SENSORLIB_PC_LIBS)
list(REVERSE SENSORLIB_PC_LIBS)
list(JOIN SENSORLIB_PC_LIBS " " SENSORLIB_PC_LIBS)
configure_file(${CMAKE_CURRENT_LIST_DIR}/sensorlib.pc.in ${CMAKE_CURRENT_BINARY_DIR}/sensorlib.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sensorlib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
