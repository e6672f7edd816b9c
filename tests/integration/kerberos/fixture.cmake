# Throwaway MIT KDC (realm ACME.TEST) with two slapds in a network namespace of its own (see
# fixture.sh). Include from tests/integration/CMakeLists.txt; a test that talks to it runs its
# command through ${QUORVANE_KDC_EXEC} and is marked with quorvane_use_test_kdc(<test>...).

set(QUORVANE_TEST_KDC ${CMAKE_CURRENT_BINARY_DIR}/test-kdc)
set(QUORVANE_KDC_EXEC bash ${CMAKE_CURRENT_LIST_DIR}/fixture.sh exec ${QUORVANE_TEST_KDC})

# Setting up the realm and both directories takes about a second.
add_test(NAME kdc_start COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fixture.sh start ${QUORVANE_TEST_KDC})
set_tests_properties(kdc_start PROPERTIES FIXTURES_SETUP kdc LABELS integration TIMEOUT 60)

add_test(NAME kdc_stop COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fixture.sh stop ${QUORVANE_TEST_KDC})
set_tests_properties(kdc_stop PROPERTIES FIXTURES_CLEANUP kdc LABELS integration TIMEOUT 60)

# exec exits 77 when the fixture could not start outside CI (no root, no KDC).
function(quorvane_use_test_kdc)
    foreach(test IN LISTS ARGN)
        set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED kdc SKIP_RETURN_CODE 77)
        set_property(TEST ${test} APPEND PROPERTY LABELS integration)
    endforeach()
endfunction()

add_test(NAME kdc_selftest COMMAND ${QUORVANE_KDC_EXEC} bash ${CMAKE_CURRENT_LIST_DIR}/selftest.sh)
set_tests_properties(kdc_selftest PROPERTIES TIMEOUT 120)
quorvane_use_test_kdc(kdc_selftest)
