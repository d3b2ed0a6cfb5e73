# The hardening Debian's own packages get, whatever command builds them: the flags of
# dpkg-buildflags with every hardening feature on (_FORTIFY_SOURCE, stack protector, relro and
# bind-now, ...), added to the compiler's and the linker's. Set as plain variables, so that a
# configure run again adds them once, not once more.
function(use_debian_hardening)
    find_program(DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
    set(flags)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                    ${DPKG_BUILDFLAGS} --get ${kind}
            OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
        set(${kind} "${value}")
    endforeach()
    # CMake reads no CPPFLAGS: the preprocessor's flags go with the compiler's.
    set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} ${CPPFLAGS} ${CXXFLAGS}" PARENT_SCOPE)
    set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} ${LDFLAGS}" PARENT_SCOPE)
    set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} ${LDFLAGS}" PARENT_SCOPE)
    set(CMAKE_MODULE_LINKER_FLAGS "${CMAKE_MODULE_LINKER_FLAGS} ${LDFLAGS}" PARENT_SCOPE)
endfunction()
