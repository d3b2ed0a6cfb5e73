# Gives a shared library the project's version and SONAME, and limits its dynamic symbols to
# those its linker version script lists.
function(svcreg_versioned_library target version_script)
    set_target_properties(${target} PROPERTIES
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        LINK_DEPENDS ${version_script}
    )
    target_link_options(${target} PRIVATE -Wl,--version-script=${version_script})
endfunction()
