# Debian's hardening flags, as dpkg-buildflags gives them with every hardening feature on
# (on Debian 12: stack protector, format checks, relro, bind-now and _FORTIFY_SOURCE). The optimisation and debug flags stay CMake's (the build type's), and
# _FORTIFY_SOURCE is left out of unoptimised (Debug) builds, where glibc cannot apply it and
# warns on every file. Sanitizer and fuzz builds take none of them: the sanitizers bring their
# own checks and replace the checked functions that fortify would call.
option(ORVANTA_HARDENING "Build with Debian's hardening flags (dpkg-buildflags)" ON)
find_program(DPKG_BUILDFLAGS_PROGRAM dpkg-buildflags)

set(ORVANTA_HARDENED OFF)
if(ORVANTA_HARDENING AND DPKG_BUILDFLAGS_PROGRAM AND NOT (ORVANTA_SANITIZE OR ORVANTA_TSAN OR
                                                          ORVANTA_FUZZ))
    function(orvanta_buildflags kind out)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                    ${DPKG_BUILDFLAGS_PROGRAM} --get ${kind}
            OUTPUT_VARIABLE flags
            OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
        endif()
        separate_arguments(flags UNIX_COMMAND "${flags}")
        list(FILTER flags EXCLUDE REGEX "^-(g.*|O.*|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
        set(${out} ${flags} PARENT_SCOPE)
    endfunction()
    orvanta_buildflags(CPPFLAGS cppflags)
    orvanta_buildflags(CXXFLAGS cxxflags)
    orvanta_buildflags(LDFLAGS ldflags)
    foreach(flag ${cppflags})
        if(flag MATCHES "^-D_FORTIFY_SOURCE")
            add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
        else()
            add_compile_options(${flag})
        endif()
    endforeach()
    add_compile_options(${cxxflags})
    add_link_options(${ldflags})
    if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
        set(ORVANTA_HARDENED ON)
    endif()
    message(STATUS "Hardening flags from dpkg-buildflags: ${cppflags} ${cxxflags} ${ldflags}")
endif()
