find_package(GTest REQUIRED)
include(GoogleTest)

# quillon_add_test(NAME LABEL label SOURCES ... LIBS ... [TIMEOUT s] [PROPERTIES ...])
# One executable per test file group; every TEST becomes a CTest test carrying the label
# (or every label of a list such as "comm;realtime").
function(quillon_add_test name)
    cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    quillon_target(${name})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # gtest_discover_tests flattens its PROPERTIES, so a label list given there would keep its
    # first entry only (the others would read as property names). The discovered tests get
    # the first label there and the whole list from a CTest include script that runs after
    # the discovery's own.
    list(GET T_LABEL 0 _first)
    gtest_discover_tests(${name}
        PROPERTIES LABELS "${_first}" TIMEOUT ${T_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
    list(LENGTH T_LABEL _count)
    if(_count GREATER 1)
        set(_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
        file(WRITE ${_script}
            "foreach(t IN LISTS ${name}_TESTS)\n"
            "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${T_LABEL}\")\n"
            "endforeach()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_script})
    endif()
endfunction()
