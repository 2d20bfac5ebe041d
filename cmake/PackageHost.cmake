# The executable recipe for every PE that carries a package.
#
#   add_package_host(<target> [CONSOLE] [NO_CRT] SOURCES ... [LIBS ...])
#
# The result is a PE32 image with a 224-byte optional header whose ".rsrc"
# section is the last one with nothing behind it, whose resource tree starts
# with "LASTRES" 1000 and holds its data last, and whose checksum is 0.
#
# The post-link step (pelayout fix) moves the "LASTRES" data behind the other
# resources' data, where GNU ld does not put it, and clears the checksum
# that ld fills in; pelayout check then fails the build if a property breaks.
#
# NO_CRT hosts (installer.exe) have an entry point of their own instead of
# the MinGW C runtime start-up (about 40 KB), import no C runtime DLL (our own
# memory and string functions, platform/libc.cpp), are laid out by
# cmake/installer.ld, and are built, with the libraries they link, by
# INSTALLER_COMPILE_OPTIONS. IMPORTS names the list of functions the host
# may import (the build fails on any other); SIZE_LIMIT its largest size.
#
# Size choices in force for installer.exe. Each is one compile or link
# option or one post-link pass, named so that scripts/size-report can build
# the installer with it left out (INSTALLER_SIZE_OFF, a list of names); the
# columns are what installer.exe without a package grows by then: the bytes
# the headers use, the bytes of the code section, of the import section and
# of any further section (the linker's own script makes more) held in the
# file, and the file (512-byte blocks). `scripts/size-report --update`
# writes the table; the history is in the git log.
#
# Measured by scripts/size-report with binutils-mingw-w64-i686 2.40-2+10.4,
# g++-mingw-w64-i686-win32 12.2.0-14+deb12u1+25.2+b1 on installer.exe of
# 20,480 bytes (.text 15,552, .idata 1,720, .rsrc 2,360).
#   choice                    in force                        headers  .text .idata other  file
#   oz                        -Oz                                   0   +192      0     0     0
#   lto                       -flto                                 0  +1140      0     0 +1024
#   omit-frame-pointer        -fomit-frame-pointer                  0   +608      0     0  +512
#   stack-boundary            -mpreferred-stack-boundary=2          0   +640      0     0  +512
#   no-stack-arg-probe        -mno-stack-arg-probe                  0  +1952      0     0 +2048
#   gc-sections               -Wl,--gc-sections                   +72   +552      0 +4092 +5120
#   linker-script             cmake/installer.ld                 +152  -2632   +428 +6752 +6144
#   libc-function-sections    -ffunction-sections (libc)            0      0      0     0     0
#   drop-import-lookup-tables post-link: lookup tables              0      0   +184     0  +512
#   compact-headers           post-link: short DOS stub           +32      0      0     0  +512
#
# Requirements, not choices (the installer cannot do without them):
# -march=i386: GCC's default i686 code uses cmov and bswap, which the 386,
# 486 and Pentium machines that run Windows 95 and NT 4 do not have.
# -fno-exceptions, -fno-rtti, -fno-threadsafe-statics, -fno-stack-protector:
# no C++ runtime is linked. -Werror=frame-larger-than=4000 keeps every frame
# below the size at which GCC would probe the stack (CHECK_STACK_LIMIT),
# after link-time inlining too. -s and --disable-reloc-section: nothing may
# follow ".rsrc". -ffat-lto-objects keeps ordinary code in the libraries as
# well, for the programs that link them without -flto (saverpack,
# package-probe). The post-link step's move of the "LASTRES" data and its
# cleared checksum are the layout the package needs.
#
# Why the choices: -mno-stack-arg-probe: probing makes GCC keep the outgoing
# arguments in the frame and restore that area after every stdcall call.
# --gc-sections also drops the unwind tables and the compiler's
# identification, which nothing refers to: -fno-asynchronous-unwind-tables
# and -fno-ident gave no byte.
# cmake/installer.ld puts the slack of code and read-only data into one
# section, drops the 4 bytes of .idata$7 each import brings, and puts the
# import lookup tables last, which the post-link step then leaves out of
# the file (the loader reads the address tables); compacting the headers
# (a 31-byte DOS stub) lets them fit one 512-byte block.
set(INSTALLER_SIZE_OFF "" CACHE STRING "Size choices to leave out of installer.exe (scripts/size-report)")

# name, then the options in force (";"-separated), then those used instead
# when it is left out ("-" for none).
set(INSTALLER_SIZE_CHOICES
    oz                  "-Oz"                              "-Os"
    lto                 "-flto"                            "-"
    omit-frame-pointer  "-fomit-frame-pointer"             "-"
    stack-boundary      "-mpreferred-stack-boundary=2"     "-"
    no-stack-arg-probe  "-mno-stack-arg-probe"             "-")
# Choices outside the compile options, honoured where they are made.
set(INSTALLER_OTHER_CHOICES gc-sections linker-script libc-function-sections
    drop-import-lookup-tables compact-headers)
foreach(name IN LISTS INSTALLER_SIZE_OFF)
    list(FIND INSTALLER_SIZE_CHOICES "${name}" at)
    if(at EQUAL -1 AND NOT name IN_LIST INSTALLER_OTHER_CHOICES)
        message(FATAL_ERROR "INSTALLER_SIZE_OFF: no size choice \"${name}\"")
    endif()
endforeach()
function(installer_size_choice name result)
    if(name IN_LIST INSTALLER_SIZE_OFF)
        set(${result} OFF PARENT_SCOPE)
    else()
        set(${result} ON PARENT_SCOPE)
    endif()
endfunction()

set(INSTALLER_COMPILE_OPTIONS
    -march=i386 -ffat-lto-objects -Werror=frame-larger-than=4000
    -fno-exceptions -fno-rtti -fno-stack-protector -fno-threadsafe-statics)
list(LENGTH INSTALLER_SIZE_CHOICES count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 3)
    math(EXPR on "${i} + 1")
    math(EXPR off "${i} + 2")
    list(GET INSTALLER_SIZE_CHOICES ${i} name)
    list(GET INSTALLER_SIZE_CHOICES ${on} options)
    if(name IN_LIST INSTALLER_SIZE_OFF)
        list(GET INSTALLER_SIZE_CHOICES ${off} options)
    endif()
    if(NOT options STREQUAL "-")
        list(APPEND INSTALLER_COMPILE_OPTIONS ${options})
    endif()
endforeach()

# Installer code (package, expand, install): no exceptions and no run-time
# type information anywhere, and in the win32 build the options above.
function(saver_installer_code target)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    if(SAVER_WIN32)
        target_compile_options(${target} PRIVATE ${INSTALLER_COMPILE_OPTIONS})
    endif()
endfunction()

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

# The most bytes installer.exe (without a package) may have; the build fails
# beyond it (not checked while a size choice is left out). It leaves room
# for the changes in hand rather than fitting today's file: size is a
# budget, not a goal. Raise it only with the table above measured again.
set(INSTALLER_SIZE_BUDGET 20480)

# platform/libc.cpp, our own C library functions: no loop of theirs may
# become a call to the function itself, and GCC's late calls to memcpy and
# memset must find them (so no link-time optimisation); the ones nobody
# calls are dropped.
set(LIBC_COMPILE_OPTIONS -fno-lto -fno-builtin -fno-tree-loop-distribute-patterns)
installer_size_choice(libc-function-sections kept)
if(kept)
    list(APPEND LIBC_COMPILE_OPTIONS -ffunction-sections)
endif()

# Post-link passes left out: pelayout fix --keep PASS.
set(PELAYOUT_KEEP "")
foreach(pass drop-import-lookup-tables compact-headers)
    if(pass IN_LIST INSTALLER_SIZE_OFF)
        list(APPEND PELAYOUT_KEEP --keep ${pass})
    endif()
endforeach()

function(add_package_host target)
    cmake_parse_arguments(H "CONSOLE;NO_CRT" "IMPORTS;SIZE_LIMIT" "SOURCES;LIBS" ${ARGN})
    add_executable(${target} ${H_SOURCES} ${PROJECT_SOURCE_DIR}/resources/installer.rc)
    set_source_files_properties(${PROJECT_SOURCE_DIR}/resources/installer.rc PROPERTIES
        OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/resources/installer.ico;${PROJECT_SOURCE_DIR}/resources/installer.manifest")
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/resources)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    if(NOT H_CONSOLE)
        set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    endif()
    target_link_options(${target} PRIVATE -s -Wl,--disable-dynamicbase,--disable-reloc-section -static-libgcc)
    installer_size_choice(gc-sections kept)
    if(kept)
        target_link_options(${target} PRIVATE -Wl,--gc-sections)
    endif()
    if(H_NO_CRT)
        target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/start.cpp ${PROJECT_SOURCE_DIR}/platform/libc.cpp)
        set_source_files_properties(${PROJECT_SOURCE_DIR}/platform/libc.cpp PROPERTIES
            COMPILE_OPTIONS "${LIBC_COMPILE_OPTIONS}")
        target_compile_options(${target} PRIVATE ${INSTALLER_COMPILE_OPTIONS})
        target_link_options(${target} PRIVATE ${INSTALLER_COMPILE_OPTIONS} -nostdlib -Wl,-e,_WinMainCRTStartup)
        installer_size_choice(linker-script kept)
        if(kept)
            target_link_options(${target} PRIVATE -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/installer.ld)
            set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/installer.ld)
        endif()
        target_link_libraries(${target} PRIVATE ${H_LIBS} -luser32 -lgdi32 -ladvapi32 -lkernel32 -lgcc)
    else()
        target_link_libraries(${target} PRIVATE ${H_LIBS})
    endif()
    add_dependencies(${target} host_pelayout)
    # A changed post-link step is run again.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PELAYOUT})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${PELAYOUT} fix $<TARGET_FILE:${target}> ${PELAYOUT_KEEP}
        COMMAND ${PELAYOUT} check $<TARGET_FILE:${target}>
        VERBATIM)
    if(H_IMPORTS)
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${H_IMPORTS})
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${PELAYOUT} imports $<TARGET_FILE:${target}> ${H_IMPORTS}
            VERBATIM)
    endif()
    if(H_SIZE_LIMIT AND NOT INSTALLER_SIZE_OFF)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DLIMIT=${H_SIZE_LIMIT}
                -P ${PROJECT_SOURCE_DIR}/cmake/CheckSize.cmake
            VERBATIM)
    endif()
endfunction()
