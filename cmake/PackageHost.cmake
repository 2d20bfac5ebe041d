# The executable recipe for every PE that carries a package.
#
#   add_package_host(<target> [CONSOLE] [NO_CRT] SOURCES ... [LIBS ...])
#
# The result is a PE32 image with a 224-byte optional header whose ".rsrc"
# section is the last one with nothing behind it, whose resource tree starts
# with "LASTRES" 1000 and holds its data last, and whose checksum is 0.
#
# What each choice costs or saves (installer, -Os, i686):
#   -s, no relocation section     .reloc and symbols would follow ".rsrc"
#   NO_CRT: own entry point       saves ~40 KB of MinGW C runtime start-up;
#                                 msvcrt.dll's stdio still works without it
#   -fno-exceptions -fno-rtti     no unwind tables or type info
# The post-link step (pelayout fix) moves the "LASTRES" data behind the other
# resources' data, where GNU ld does not put it, and clears the checksum
# that ld fills in; pelayout check then fails the build if a property breaks.
if(NOT SAVER_WIN32)
    function(add_package_host)
    endfunction()
    return()
endif()

enable_language(RC)
include(ExternalProject)

# pelayout runs on the build machine, so it is built by the host compiler.
set(PELAYOUT ${CMAKE_BINARY_DIR}/host-tools/pelayout)
ExternalProject_Add(host_pelayout
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/pelayout
    BINARY_DIR ${CMAKE_BINARY_DIR}/host-tools
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${PELAYOUT})

set(INSTALLER_COMPILE_OPTIONS -Oz -flto -ffat-lto-objects -fomit-frame-pointer -march=i386 -mpreferred-stack-boundary=2 -fno-thread-jumps -malign-data=abi
    -mno-stack-arg-probe -Werror=frame-larger-than=4000 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-stack-protector -fno-threadsafe-statics
    -ffunction-sections -fno-ident)

function(add_package_host target)
    cmake_parse_arguments(H "CONSOLE;NO_CRT" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${target} ${H_SOURCES} ${PROJECT_SOURCE_DIR}/resources/installer.rc)
    set_source_files_properties(${PROJECT_SOURCE_DIR}/resources/installer.rc PROPERTIES
        OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/resources/installer.ico)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/resources)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    if(NOT H_CONSOLE)
        set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    endif()
    target_link_options(${target} PRIVATE -s -Wl,--disable-dynamicbase,--disable-reloc-section
        -Wl,--gc-sections -static-libgcc)
    if(H_NO_CRT)
        target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/start.cpp)
        target_compile_options(${target} PRIVATE ${INSTALLER_COMPILE_OPTIONS})
        target_link_options(${target} PRIVATE ${INSTALLER_COMPILE_OPTIONS} -nostdlib -Wl,-e,_WinMainCRTStartup
            -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/installer.ld)
        set_target_properties(${target} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/installer.ld)
        target_link_libraries(${target} PRIVATE ${H_LIBS} -lmsvcrt -luser32 -lgdi32 -lkernel32 -lgcc)
    else()
        target_link_libraries(${target} PRIVATE ${H_LIBS})
    endif()
    add_dependencies(${target} host_pelayout)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${PELAYOUT} fix $<TARGET_FILE:${target}>
        COMMAND ${PELAYOUT} check $<TARGET_FILE:${target}>
        VERBATIM)
endfunction()
