find_package(GTest REQUIRED)
include(GoogleTest)

# quillon_add_test(NAME LABEL label SOURCES ... LIBS ... [TIMEOUT s] [PROPERTIES ...])
# One executable per test file group; every TEST becomes a CTest test carrying the label.
function(quillon_add_test name)
    cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    quillon_target(${name})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    gtest_discover_tests(${name}
        PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
endfunction()
