# orvanta-projector run as a program, with the test playing the sender on its pseudo-terminal.
if(TARGET orvanta-projector)
    add_executable(projector_tests ${CMAKE_CURRENT_LIST_DIR}/Projector_test.cpp)
    target_link_libraries(projector_tests PRIVATE GTest::gtest_main)
    target_compile_definitions(projector_tests PRIVATE
        ORVANTA_PROJECTOR_PATH="$<TARGET_FILE:orvanta-projector>")
    set_target_properties(projector_tests PROPERTIES AUTOMOC OFF AUTORCC OFF)
    add_dependencies(projector_tests orvanta-projector)
    gtest_discover_tests(projector_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
endif()
