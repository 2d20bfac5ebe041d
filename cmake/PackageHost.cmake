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
# What each compiler and linker choice costs, measured by leaving it out of
# the build of installer.exe (no package) that had the C runtime DLL and no
# manifest (16,384 bytes). ".text" is the code with the read-only data; the
# file grows in steps of 512 bytes.
#
#   left out                                .text    file
#   (nothing: that build)                   11,564   16,384
#   -mno-stack-arg-probe (see below)        +1,376   17,920
#   -flto: optimised as one program         +884     17,408
#   -fomit-frame-pointer                    +640     16,896
#   -mpreferred-stack-boundary=2            +552     16,896
#   -fno-thread-jumps (no blocks copied)    +240     16,896
#   -Oz (-Os instead)                       +140     16,384
#   -malign-data=abi (arrays 32-aligned)    +52      16,384
#   -march=i386 (i686 code)                 -12      16,384
#   -ffunction-sections (not used: LTO      +32      16,384
#     drops unused code; sections pad
#     every function to 4 bytes)
#   these options for expand                +588     16,896
#   cmake/installer.ld                      0        16,384  (.text 9,612
#     and .rdata 1,968 need 23 blocks too; with the script the 212 bytes
#     of slack are in one section and the headers are 40 bytes shorter)
#   -fdata-sections (not used)              i686 GCC puts zero-filled
#     variables into .data with it: 48 KB of zeros in the file (66,560)
#   -s, no relocation section               .reloc and symbols would
#                                           follow ".rsrc"
#
# What running on every Windows from 95 to 11 cost, each change measured on
# the build before it (.idata holds the imports and the writable data):
#
#   change                                  .text   .idata  .rsrc   file
#   (before: msvcrt.dll imported)           11,564  1,732   1,360   16,384
#   no C runtime DLL: kernel32 file calls   +176    -252            15,872
#     for expansion, own memcmp, memmove,
#     strchr, strlen, strrchr (Windows 95
#     before OSR2 has no msvcrt.dll)
#   entry point without GetCommandLineA     -8      -32             15,872
#   manifest (highestAvailable, 337 bytes)                  +416    16,384
#   BaseOfData set by the post-link step    0       0       0       16,384
#   failure texts from FormatMessageA,      +532    +84             16,896
#     GetLastError, GetVersion (NT only:
#     the administrator hint)
#   wait cursor answered to WM_SETCURSOR    +24                     16,896
#
#   package contract (walk over any      +148                            17,408
#     source, stricter extension check)
#   headers compacted by the post-link                                   16,896
#     step: a 31-byte DOS stub instead
#     of ld's 64, PE headers at 0x60, so
#     headers and four section headers
#     take 504 bytes, one 512-byte block
#     instead of two (-512)
#
# The final file: headers 512; .text 12,436 in 12,800 (364 bytes to spare);
# .idata 1,532 in 1,536 (49 imports, and the writable data: the next import
# costs 512); .bss with no bytes in the file; .rsrc 1,776 in 2,048 (icon,
# manifest, dialog). INSTALLER_SIZE_BUDGET is 16,896: at most 16,384 with
# the runtime gone and the manifest in, 512 more for the failure texts and
# the wait cursor; the contract fits in it since the headers take one block.
#
# Then placement under Windows' file rules, measured the same way:
#
#   change                                  .text   .idata  .rsrc   file
#   one placement at a time (named lock     +1,136  +408            18,432
#     waited for with the queue served),
#     names of the run's own created only
#     if absent (CreateFileA: +80 .text,
#     +44 .idata), set-aside and put-back,
#     deletion at restart (MoveFileExA on
#     NT, WININIT.INI on 95/98), earlier
#     runs' set-aside files deleted
#     (FindFirstFileA: +228, +68), unusable
#     installer names refused, made
#     directories removed; 14 imports
#   cmake/installer.ld drops the 4 bytes            -252            18,432
#     of .idata$7 every imported function
#     brings (they only pull the import
#     library's head into the link)
#
#   the three texts of failures after     -332    +336            17,920
#     placement and the closing sentences
#     (the disk, the administrator hint)
#     in .idata's spare room (".rdatai":
#     read-only data nothing writes)
#
# That file: headers 512; .text 13,240 in 13,312; .idata 2,024 in 2,048
# (63 imports, and read-only texts; no writable data); .bss with no bytes
# in the file; .rsrc 1,776 in 2,048 (icon, manifest, dialog). A block less
# needed 416 bytes fewer in .text and .idata together:
#
#   change                                  .text   .idata  .rsrc   file
#   import lookup tables left out of the            -264            17,920
#     file by the post-link step (last in
#     .idata by cmake/installer.ld; every
#     descriptor then names its address
#     table only, which loaders read)
#   two failure texts in fewer words        -40                     17,920
#   -fno-tree-dominator-opts -fno-tree-slsr -168                    17,920
#     -fno-strict-aliasing -fno-tree-vrp
#     -fno-if-conversion (each measured
#     alone: -84, -40, -32, -20, -16;
#     every other option tried gave 20
#     bytes or less, or grew the code)
#   texts moved back from .idata's room    +264    -272            17,408
#     (only the two unexplained-failure
#     sentences stay there)
#
# The final file: headers 512; .text 13,296 in 13,312; .idata 1,492 in
# 1,536 (63 imports and two sentences; the lookup tables, 264 bytes, lie
# beyond the raw data, zero-filled in memory); .bss with no bytes in the
# file; .rsrc 1,776 in 2,048. INSTALLER_SIZE_BUDGET is 17,408. The code and
# the imports have 60 bytes of room together (16 and 44; read-only texts
# can move between them): a few more bytes of either cost a block.
#
# Then Windows 10 and 11 as their users see them, each change measured on
# the build before it (17,920 bytes: .text 13,368, .idata 1,424 in the
# file, .rsrc 1,776):
#
#   change                                  .text   .idata  .rsrc   file
#   manifest names Vista to 10/11                           +584    18,432
#     (supportedOS) and declares system
#     DPI awareness: 926 bytes of XML
#     instead of 337
#   the saver also set in the user's        +128    +104            18,432
#     registry on the NT family (advapi32:
#     RegCreateKeyExA, RegSetValueExA,
#     RegCloseKey; a fourth DLL)
#
# That file: .text 13,496 in 13,824; .idata 1,528 in 1,536 (the lookup
# tables, 280 bytes, beyond it); .rsrc 2,360 in 2,560.
#
# -march=i386: GCC's default i686 code uses cmov and bswap, which the 386,
# 486 and Pentium machines that run Windows 95 and NT 4 do not have.
# -mno-stack-arg-probe: probing makes GCC keep the outgoing arguments in
# the frame and restore that area after every stdcall call. GCC probes only
# frames of 4000 bytes and more (CHECK_STACK_LIMIT for Windows), which no
# installer frame reaches: -Werror=frame-larger-than=4000 keeps it so, after
# link-time inlining too (the largest is 2,856 bytes). -fno-exceptions,
# -fno-rtti and -fno-asynchronous-unwind-tables leave out unwind tables and
# type information (expand's .eh_frame was 1,024 bytes of the file).
# -ffat-lto-objects keeps ordinary code in the libraries as well, for the
# programs that link them without -flto (saverpack, package-probe).
set(INSTALLER_COMPILE_OPTIONS
    -Oz -flto -ffat-lto-objects -fomit-frame-pointer -march=i386
    -mpreferred-stack-boundary=2 -mno-stack-arg-probe -Werror=frame-larger-than=4000
    -fno-thread-jumps -malign-data=abi
    -fno-tree-dominator-opts -fno-tree-slsr -fno-strict-aliasing -fno-tree-vrp -fno-if-conversion
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-stack-protector -fno-threadsafe-statics -fno-ident)

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
# beyond it. Raise it only with the cost tables above brought up to date.
# 16,896 with the package contract; 17,408 with placement under Windows'
# file rules (see the tables above).
set(INSTALLER_SIZE_BUDGET 20480)

# platform/libc.cpp, our own C library functions: no loop of theirs may
# become a call to the function itself, and GCC's late calls to memcpy and
# memset must find them (so no link-time optimisation); the ones nobody
# calls are dropped.
set(LIBC_COMPILE_OPTIONS -fno-lto -fno-builtin -fno-tree-loop-distribute-patterns -ffunction-sections)

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
    target_link_options(${target} PRIVATE -s -Wl,--disable-dynamicbase,--disable-reloc-section
        -Wl,--gc-sections -static-libgcc)
    if(H_NO_CRT)
        target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/start.cpp ${PROJECT_SOURCE_DIR}/platform/libc.cpp)
        set_source_files_properties(${PROJECT_SOURCE_DIR}/platform/libc.cpp PROPERTIES
            COMPILE_OPTIONS "${LIBC_COMPILE_OPTIONS}")
        target_compile_options(${target} PRIVATE ${INSTALLER_COMPILE_OPTIONS})
        target_link_options(${target} PRIVATE ${INSTALLER_COMPILE_OPTIONS} -nostdlib -Wl,-e,_WinMainCRTStartup
            -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/installer.ld)
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/installer.ld)
        target_link_libraries(${target} PRIVATE ${H_LIBS} -luser32 -lgdi32 -ladvapi32 -lkernel32 -lgcc)
    else()
        target_link_libraries(${target} PRIVATE ${H_LIBS})
    endif()
    add_dependencies(${target} host_pelayout)
    # A changed post-link step is run again.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PELAYOUT})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${PELAYOUT} fix $<TARGET_FILE:${target}>
        COMMAND ${PELAYOUT} check $<TARGET_FILE:${target}>
        VERBATIM)
    if(H_IMPORTS)
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${H_IMPORTS})
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${PELAYOUT} imports $<TARGET_FILE:${target}> ${H_IMPORTS}
            VERBATIM)
    endif()
    if(H_SIZE_LIMIT)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DLIMIT=${H_SIZE_LIMIT}
                -P ${PROJECT_SOURCE_DIR}/cmake/CheckSize.cmake
            VERBATIM)
    endif()
endfunction()
