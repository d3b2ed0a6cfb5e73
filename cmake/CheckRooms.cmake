# Fails when a source of a room includes a header of a room it may not use. Run with cmake -P:
#   -DROOMS_DIR=<folder holding one folder per room>
#   -DROOMS=<room>,<room>,...          every room; a folder not listed is an error
#   -DUSES_<room>=<room>,<room>,...    the other rooms whose headers <room> may include
# A header belongs to a room when a file of its name is in the room's folder; a room's own
# headers come first, and headers of no room (the framework's, include/) are open to all.
# Each refused include is printed as "file:line: includes ..." with file relative to the
# folder above ROOMS_DIR.

cmake_minimum_required(VERSION 3.25)

foreach(variable ROOMS_DIR ROOMS)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "CheckRooms.cmake needs -D${variable}=...")
    endif()
endforeach()

get_filename_component(project_dir "${ROOMS_DIR}/.." ABSOLUTE)
get_filename_component(rooms_name "${ROOMS_DIR}" NAME)
string(REPLACE "," ";" rooms "${ROOMS}")

file(GLOB folders LIST_DIRECTORIES true RELATIVE "${ROOMS_DIR}" "${ROOMS_DIR}/*")
set(problems 0)
foreach(folder IN LISTS folders)
    if(IS_DIRECTORY "${ROOMS_DIR}/${folder}" AND NOT folder IN_LIST rooms)
        message("${rooms_name}/${folder}: a folder the room check does not know; name the rooms "
                "it may use")
        math(EXPR problems "${problems} + 1")
    endif()
endforeach()

# header_<name>: the room a header of that file name is in.
foreach(room IN LISTS rooms)
    file(GLOB headers RELATIVE "${ROOMS_DIR}/${room}" "${ROOMS_DIR}/${room}/*.h")
    foreach(header IN LISTS headers)
        set("header_${header}" "${room}")
    endforeach()
endforeach()

foreach(room IN LISTS rooms)
    string(REPLACE "," ";" uses "${USES_${room}}")
    file(GLOB sources "${ROOMS_DIR}/${room}/*.h" "${ROOMS_DIR}/${room}/*.cpp")
    foreach(source IN LISTS sources)
        file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
        foreach(include IN LISTS includes)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">].*$" "\\1"
                                 included "${include}")
            get_filename_component(name "${included}" NAME)
            if(EXISTS "${ROOMS_DIR}/${room}/${name}" OR NOT DEFINED "header_${name}")
                continue()
            endif()
            set(owner "${header_${name}}")
            if(owner IN_LIST uses)
                continue()
            endif()
            # The line number, from the text before the include's first occurrence.
            file(READ "${source}" text)
            string(FIND "${text}" "${include}" at)
            string(SUBSTRING "${text}" 0 ${at} before)
            string(REGEX MATCHALL "\n" newlines "${before}")
            list(LENGTH newlines line)
            math(EXPR line "${line} + 1")
            file(RELATIVE_PATH shown "${project_dir}" "${source}")
            message("${shown}:${line}: includes \"${included}\" from ${rooms_name}/${owner}, "
                    "which ${rooms_name}/${room} may not use")
            math(EXPR problems "${problems} + 1")
        endforeach()
    endforeach()
endforeach()

if(problems GREATER 0)
    message(FATAL_ERROR "${problems} include(s) against the order of the rooms in ${rooms_name}/")
endif()
