# Warnings for our own targets only (third-party headers come in as system includes).
option(QUILLON_WERROR "Treat compiler warnings as errors (CI turns this on)" OFF)

add_library(quillon_warnings INTERFACE)
target_compile_options(quillon_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(QUILLON_WERROR)
    target_compile_options(quillon_warnings INTERFACE -Werror)
endif()

function(quillon_target target)
    target_link_libraries(${target} PRIVATE quillon_warnings)
endfunction()
