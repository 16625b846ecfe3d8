find_package(GTest REQUIRED)
include(GoogleTest)

# quillon_add_test(NAME LABEL label SOURCES ... LIBS ... [TIMEOUT s] [PROPERTIES ...])
# One executable per test file group; every TEST becomes a CTest test carrying the label
# (or every label of a list such as "comm;realtime").
function(quillon_add_test name)
    # LABEL takes several values: a quoted list such as "comm;realtime" reaches this function
    # as separate arguments, of which a one-value keyword would keep only the first.
    cmake_parse_arguments(T "" "TIMEOUT" "LABEL;SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    quillon_target(${name})
    foreach(_label IN LISTS T_LABEL)
        set_property(GLOBAL APPEND PROPERTY QUILLON_TEST_LABELS ${_label})
        set_property(GLOBAL APPEND PROPERTY QUILLON_TESTS_${_label} ${name})
    endforeach()
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # gtest_discover_tests flattens its PROPERTIES too, so a label list given there would keep
    # its first entry only (the others would read as property names). The discovered tests get
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

# After every test folder: one target per label, tests_<label>, that builds the executables
# carrying it, so a run of some labels (the thread sanitizer stage) builds only those.
function(quillon_add_label_targets)
    get_property(_labels GLOBAL PROPERTY QUILLON_TEST_LABELS)
    list(REMOVE_DUPLICATES _labels)
    foreach(_label IN LISTS _labels)
        get_property(_tests GLOBAL PROPERTY QUILLON_TESTS_${_label})
        add_custom_target(tests_${_label})
        add_dependencies(tests_${_label} ${_tests})
    endforeach()
endfunction()
