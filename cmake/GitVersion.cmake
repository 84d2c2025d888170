# Writes OUTPUT, a header defining ORVANTA_GIT_DESCRIBE: `git describe` of SOURCE_DIR when it is
# a checkout, else an empty text. The file is left untouched when its text would not change, so
# that nothing is recompiled for a build of the same commit.
execute_process(
    COMMAND git -C "${SOURCE_DIR}" describe --tags --always --dirty
    OUTPUT_VARIABLE describe
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    set(describe "")
endif()
set(text "// Generated at build time: the checkout's `git describe`, empty outside a checkout.\n#define ORVANTA_GIT_DESCRIBE \"${describe}\"\n")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
    file(WRITE "${OUTPUT}" "${text}")
endif()
