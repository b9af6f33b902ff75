# The null filter must write what the filter writes, byte count for byte
# count, or it is not the filter's limit. Run with -DNULL_FILTER= -DFILTER=
# -DWORK_DIR=.
foreach(size 0 1 56 57 58 100 1000)
  string(REPEAT "x" ${size} data)
  set(input ${WORK_DIR}/null_check_${size}.in)
  file(WRITE ${input} "${data}")
  foreach(program NULL_FILTER FILTER)
    execute_process(COMMAND ${${program}} INPUT_FILE ${input} OUTPUT_FILE ${input}.${program}
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${${program}} exited with ${status} on ${size} bytes")
    endif()
    file(SIZE ${input}.${program} written_${program})
  endforeach()
  if(NOT written_NULL_FILTER EQUAL written_FILTER)
    message(FATAL_ERROR "${size} bytes: the null filter wrote ${written_NULL_FILTER} bytes, the filter ${written_FILTER}")
  endif()
endforeach()
