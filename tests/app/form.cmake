ftpupg_add_test(form_test SOURCES form_test.cpp form_fixture.cpp LIBS ftpupg_ui Qt6::Test NETNS QT NOMAIN TIMEOUT 120)
add_test(NAME xvfb_window_test COMMAND ${FTPUPG_NETNS_RUN} ${CMAKE_CURRENT_SOURCE_DIR}/xvfb_window_test.sh $<TARGET_FILE:ftpupg>)
set_tests_properties(xvfb_window_test PROPERTIES TIMEOUT 60 LABELS "xvfb" RESOURCE_LOCK xserver ENVIRONMENT "${FTPUPG_TEST_ENV}")
