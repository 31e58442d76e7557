function(sensorlib_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                                             -Wold-style-cast -Woverloaded-virtual)
    if(SENSORLIB_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
