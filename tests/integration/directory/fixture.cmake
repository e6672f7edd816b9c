# Throwaway OpenLDAP directory for the integration tests (see fixture.sh).
# Include from tests/integration/CMakeLists.txt, then mark each test that talks to it with
# quorvane_use_test_directory(<test>...).

set(QUORVANE_TEST_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/test-directory)

add_test(NAME directory_start
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fixture.sh start ${QUORVANE_TEST_DIRECTORY})
set_tests_properties(directory_start PROPERTIES
    FIXTURES_SETUP directory
    LABELS integration
    TIMEOUT 60)

add_test(NAME directory_stop
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fixture.sh stop ${QUORVANE_TEST_DIRECTORY})
set_tests_properties(directory_stop PROPERTIES
    FIXTURES_CLEANUP directory
    LABELS integration
    TIMEOUT 30)

# Tests find the directory through QUORVANE_TEST_DIRECTORY (TestDirectory.h) and exit 77
# when it could not be started outside CI.
function(quorvane_use_test_directory)
    foreach(test IN LISTS ARGN)
        set_tests_properties(${test} PROPERTIES
            FIXTURES_REQUIRED directory
            SKIP_RETURN_CODE 77)
        set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
            QUORVANE_TEST_DIRECTORY=${QUORVANE_TEST_DIRECTORY})
        set_property(TEST ${test} APPEND PROPERTY LABELS integration)
    endforeach()
endfunction()

add_test(NAME directory_selftest
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/selftest.sh ${QUORVANE_TEST_DIRECTORY})
set_tests_properties(directory_selftest PROPERTIES TIMEOUT 120)
quorvane_use_test_directory(directory_selftest)
