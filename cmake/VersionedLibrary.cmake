# Gives a shared library its SONAME version, raised for that library alone when its ABI breaks,
# and limits its dynamic symbols to those its linker version script lists. Its file name carries
# the SONAME version and the project's minor and patch numbers (libX.so.SOVERSION.MINOR.PATCH).
function(svcreg_versioned_library target version_script soversion)
    set_target_properties(${target} PROPERTIES
        VERSION ${soversion}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
        SOVERSION ${soversion}
        LINK_DEPENDS ${version_script}
    )
    target_link_options(${target} PRIVATE -Wl,--version-script=${version_script})
endfunction()
