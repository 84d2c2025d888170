# orvanta-cli, tested as a program: the real binary on packages written into temporary folders,
# and against the real orvanta-projector on a pseudo-terminal.
add_executable(cli_tests CliBuildInfo_test.cpp)
target_link_libraries(cli_tests PRIVATE orvanta_image Qt6::Core GTest::gtest_main)
target_compile_definitions(cli_tests PRIVATE ORVANTA_CLI_PATH="$<TARGET_FILE:orvanta-cli>")
add_dependencies(cli_tests orvanta-cli)
gtest_discover_tests(cli_tests)

if(TARGET orvanta-projector)
    # The tool runs its reader thread against the projector: under ThreadSanitizer too.
    add_executable(cli_send_tests CliSend_test.cpp)
    target_link_libraries(cli_send_tests PRIVATE orvanta_image Qt6::Core GTest::gtest_main)
    target_compile_definitions(cli_send_tests PRIVATE
        ORVANTA_CLI_PATH="$<TARGET_FILE:orvanta-cli>"
        ORVANTA_PROJECTOR_PATH="$<TARGET_FILE:orvanta-projector>")
    add_dependencies(cli_send_tests orvanta-cli orvanta-projector)
    gtest_discover_tests(cli_send_tests PROPERTIES LABELS threaded)
endif()
