# cmake -DIN=<file> -DOUT=<file.gz> -P GzipFile.cmake
# Compresses one file without a name or time stamp in the header, so that the
# same input always gives the same bytes.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
execute_process(COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${IN}
  OUTPUT_FILE ${OUT}.tmp
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "gzip ${IN} failed: ${rc}")
endif()
file(RENAME ${OUT}.tmp ${OUT})
