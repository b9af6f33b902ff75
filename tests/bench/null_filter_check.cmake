# Each null filter must write what its program writes, byte count for byte
# count, or it is not that program's limit: the encoder's on data of sizes
# around a line, the decoder's on the encoder's text of the same data and on
# text whose padded groups stand within it (as a pipe's pieces give it), with
# CR LF or LF. Run with -DNULL_FILTER= -DFILTER= -DNULL_UNFILTER= -DUNFILTER=
# -DWORK_DIR=.

# run_both(NULL PROGRAM INPUT WHAT): both programs on INPUT, the same count written.
function(run_both null program input what)
  foreach(which null program)
    execute_process(COMMAND ${${which}} INPUT_FILE ${input} OUTPUT_FILE ${input}.${which} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${${which}} exited with ${status} on ${what}")
    endif()
    file(SIZE ${input}.${which} written_${which})
  endforeach()
  if(NOT written_null EQUAL written_program)
    message(FATAL_ERROR "${what}: ${null} wrote ${written_null} bytes, ${program} ${written_program}")
  endif()
endfunction()

foreach(size 0 1 56 57 58 100 1000)
  string(REPEAT "x" ${size} data)
  set(input ${WORK_DIR}/null_check_${size}.in)
  file(WRITE ${input} "${data}")
  run_both(${NULL_FILTER} ${FILTER} ${input} "${size} bytes")
  # The encoder's text of them: 57-byte lines, the last padded.
  run_both(${NULL_UNFILTER} ${UNFILTER} ${input}.program "the text of ${size} bytes")
endforeach()

# Padded groups within the text, one and two "=", lines ending in LF alone.
set(text ${WORK_DIR}/null_check_padded.in)
file(WRITE ${text} "eA==\r\neHg=\neHh4\r\neA==eHg=eHh4eHh4\n\neHg=\r\n")
run_both(${NULL_UNFILTER} ${UNFILTER} ${text} "text with padded groups within it")

# Reads of 4096 that end inside a padded group ("eA=" held for the next read)
# and between two.
foreach(lead "\n" "\n\n")
  string(REPEAT "eA==" 1100 groups)
  string(LENGTH "${lead}" leading)
  set(text ${WORK_DIR}/null_check_held_${leading}.in)
  file(WRITE ${text} "${lead}${groups}")
  run_both(${NULL_UNFILTER} ${UNFILTER} ${text} "a read ending after ${leading} line ends and padded groups")
endforeach()
