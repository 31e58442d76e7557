# Run at install time (cmake -P style, from install(CODE)): installs the public headers
# of the libraries, and only those, under ${INCLUDE_DESTINATION}:
#
#   SensorLib.h, SensorPlatform.h, SensorTransports.h   the umbrella headers
#   sensorlib/ sensorplatform/ sensortransports/        one directory per library
#
# A header is public when an umbrella header reaches it through its #include "..."
# lines; headers that only the libraries' own sources include stay behind. Inside the
# source tree the headers include each other by bare name; the installed copies name
# a header of another library by its directory ("../sensorplatform/Thread.h"), so only
# the directory with the umbrellas goes on a consumer's include path and the bare
# names (Thread.h, Event.h ...) cannot hide a consumer's own headers.
#
# Expects: HEADER_DIRS, a list of LIBRARY=DIRECTORY entries; UMBRELLAS, the file names
# of the umbrella headers; INCLUDE_DESTINATION; STAGING_DIR, a scratch directory.

cmake_policy(VERSION 3.25)

set(owner_of_names "")
foreach(entry IN LISTS HEADER_DIRS)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 library)
    list(GET entry 1 directory)
    file(GLOB headers "${directory}/*.h")
    foreach(header IN LISTS headers)
        get_filename_component(name "${header}" NAME)
        if(DEFINED path_of_${name})
            message(FATAL_ERROR "two headers named ${name}: ${path_of_${name}} and ${header}")
        endif()
        set(path_of_${name} "${header}")
        set(library_of_${name} "${library}")
    endforeach()
endforeach()

# The headers the umbrellas reach.
set(public "${UMBRELLAS}")
set(pending "${UMBRELLAS}")
while(pending)
    list(POP_FRONT pending name)
    if(NOT DEFINED path_of_${name})
        message(FATAL_ERROR "umbrella or included header ${name} not found")
    endif()
    file(STRINGS "${path_of_${name}}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    set(includes_of_${name} "")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
        if(DEFINED path_of_${included})
            list(APPEND includes_of_${name} "${included}")
            if(NOT included IN_LIST public)
                list(APPEND public "${included}")
                list(APPEND pending "${included}")
            endif()
        endif()
    endforeach()
endwhile()

# Rewrite and install: umbrellas at the top, the rest in their library's directory.
file(REMOVE_RECURSE "${STAGING_DIR}")
foreach(name IN LISTS public)
    if(name IN_LIST UMBRELLAS)
        set(directory "")
    else()
        set(directory "${library_of_${name}}/")
    endif()
    file(READ "${path_of_${name}}" text)
    foreach(included IN LISTS includes_of_${name})
        if(included IN_LIST UMBRELLAS)
            set(target "${included}")
            if(directory)
                set(target "../${included}")
            endif()
        elseif(NOT directory)
            set(target "${library_of_${included}}/${included}")
        elseif(library_of_${included} STREQUAL library_of_${name})
            set(target "${included}")
        else()
            set(target "../${library_of_${included}}/${included}")
        endif()
        string(REPLACE "#include \"${included}\"" "#include \"${target}\"" text "${text}")
    endforeach()
    file(WRITE "${STAGING_DIR}/${directory}${name}" "${text}")
endforeach()
file(INSTALL DESTINATION "${INCLUDE_DESTINATION}" TYPE DIRECTORY FILES "${STAGING_DIR}/"
     USE_SOURCE_PERMISSIONS)
