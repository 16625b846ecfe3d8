# Warnings for our own targets only (third-party headers come in as system includes).
add_library(quillon_warnings INTERFACE)
target_compile_options(quillon_warnings INTERFACE -Wall -Wextra -Wpedantic)

function(quillon_target target)
    target_link_libraries(${target} PRIVATE quillon_warnings)
endfunction()
