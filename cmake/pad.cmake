# Pads a program file with zero bytes to exactly SIZE bytes, the offset at
# which an appended download image begins, and fails loudly when the linked
# program is already larger.
# Usage: cmake -DFILE=path -DSIZE=bytes -P pad.cmake
file(SIZE "${FILE}" actual)
if(actual GREATER SIZE)
  math(EXPR over "${actual} - ${SIZE}")
  message(FATAL_ERROR
    "${FILE} is ${actual} bytes after linking: ${over} bytes more than the "
    "${SIZE} at which an appended image starts. Make the code smaller.")
endif()
# file() cannot write NUL bytes; coreutils' truncate extends with zeros.
execute_process(COMMAND truncate -s "${SIZE}" "${FILE}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot pad ${FILE} to ${SIZE} bytes")
endif()
file(SIZE "${FILE}" padded)
if(NOT padded EQUAL SIZE)
  message(FATAL_ERROR "${FILE} is ${padded} bytes after padding, not ${SIZE}")
endif()
