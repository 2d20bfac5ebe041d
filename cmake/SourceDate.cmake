# Reproducible builds: no build machine's path and no build time in any
# output, so that two builds of one commit are bit-identical.
#
# SAVER_SOURCE_DATE_EPOCH is the time every output carries: the environment's
# SOURCE_DATE_EPOCH when set (scripts/release sets it to the commit's time),
# else the time of the commit checked out when the tree was configured, else
# none (a source tree without git and without the variable: the linker then
# writes the link time). It goes into the PE time stamps, through the linker
# (GNU ld reads SOURCE_DATE_EPOCH for the COFF header's TimeDateStamp), and
# into the manual page's date; release bundles take it for their members.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(SAVER_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
    execute_process(COMMAND git log -1 --format=%ct
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE SAVER_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE git_status ERROR_QUIET)
    if(NOT git_status EQUAL 0)
        set(SAVER_SOURCE_DATE_EPOCH "")
    endif()
endif()
if(NOT SAVER_SOURCE_DATE_EPOCH STREQUAL "" AND NOT SAVER_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH \"${SAVER_SOURCE_DATE_EPOCH}\" is not a number of seconds")
endif()

if(NOT SAVER_SOURCE_DATE_EPOCH STREQUAL "")
    # string(TIMESTAMP) reads the variable too.
    set(ENV{SOURCE_DATE_EPOCH} "${SAVER_SOURCE_DATE_EPOCH}")
    # Every link runs with it: ld stamps the PE images with it.
    foreach(lang C CXX)
        set(CMAKE_${lang}_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${SAVER_SOURCE_DATE_EPOCH})
    endforeach()
endif()

# Paths in debug information, __FILE__ and assertions are relative to the
# source tree, whichever directory it was built in.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
