# cmake -DFILE=<executable> -DLIMIT=<bytes> -P CheckSize.cmake
# Fails when the executable is larger than its budget.
file(SIZE "${FILE}" size)
if(size GREATER LIMIT)
    math(EXPR over "${size} - ${LIMIT}")
    message(FATAL_ERROR "${FILE} is ${size} bytes, ${over} over its budget of ${LIMIT}")
endif()
