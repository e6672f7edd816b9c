# Throwaway Samba AD domain controller in a network namespace of its own (see fixture.sh).
# Include from tests/integration/CMakeLists.txt; a test that talks to it runs its command through
# ${QUORVANE_DC_EXEC} and is marked with quorvane_use_test_dc(<test>...).

set(QUORVANE_TEST_DC ${CMAKE_CURRENT_BINARY_DIR}/test-dc)
set(QUORVANE_DC_EXEC bash ${CMAKE_CURRENT_LIST_DIR}/fixture.sh exec ${QUORVANE_TEST_DC})

# Provisioning and first start take about 10-20 s on two busy cores.
add_test(NAME dc_start COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fixture.sh start ${QUORVANE_TEST_DC})
set_tests_properties(dc_start PROPERTIES FIXTURES_SETUP dc LABELS integration TIMEOUT 180)

add_test(NAME dc_stop COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fixture.sh stop ${QUORVANE_TEST_DC})
set_tests_properties(dc_stop PROPERTIES FIXTURES_CLEANUP dc LABELS integration TIMEOUT 60)

# exec exits 77 when the fixture could not start outside CI (no root, no samba).
function(quorvane_use_test_dc)
    foreach(test IN LISTS ARGN)
        set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED dc SKIP_RETURN_CODE 77)
        set_property(TEST ${test} APPEND PROPERTY LABELS integration)
    endforeach()
endfunction()

if(NEGOTIATE_FOUND)
    add_test(NAME dc_selftest
        COMMAND ${QUORVANE_DC_EXEC}
                bash ${CMAKE_CURRENT_LIST_DIR}/selftest.sh $<TARGET_FILE:minimal_gss_check>)
    set_tests_properties(dc_selftest PROPERTIES TIMEOUT 120)
    quorvane_use_test_dc(dc_selftest)
endif()
