cmake_minimum_required(VERSION 3.16)
# Run at build time (cmake -P): a manual page from a program's --help and
# --version (help2man), gzipped as Debian wants it. For fwtool every
# command's own help is added as a section of its own.
# Inputs: PROGRAM (the program or a wrapper that runs it), NAME, SECTION,
# DESCRIPTION, OUT (the .gz to write), COMMANDS (ON for fwtool), WORK_DIR,
# INCLUDE (help2man sections written by hand).
set(include_file ${WORK_DIR}/${NAME}.h2m)
file(READ ${INCLUDE} sections)
file(WRITE ${include_file} "${sections}")
if(COMMANDS)
  execute_process(COMMAND ${PROGRAM} help OUTPUT_VARIABLE top RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} help failed")
  endif()
  string(REGEX REPLACE ".*\nSubcommands:\n" "" top "${top}")
  string(REGEX MATCHALL "(^|\n)  [a-z0-9-]+ " found "${top}")
  set(text "[COMMANDS]\nEach command's options, as \\fBfwtool\\fR \\fICOMMAND\\fR \\fB\\-\\-help\\fR prints them.\n")
  foreach(entry ${found})
    string(STRIP "${entry}" cmd)
    if(cmd STREQUAL "help")
      continue()
    endif()
    execute_process(COMMAND ${PROGRAM} ${cmd} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${cmd} --help failed")
    endif()
    # Plain text in troff: backslashes escaped, no line taken for a request.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND text ".SS fwtool ${cmd}\n.nf\n${help}.fi\n")
  endforeach()
  file(APPEND ${include_file} "${text}")
endif()
execute_process(COMMAND help2man --no-info --section=${SECTION} --name=${DESCRIPTION} --include=${include_file}
                        --output=${WORK_DIR}/${NAME}.${SECTION} ${PROGRAM}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man ${NAME} failed")
endif()
execute_process(COMMAND gzip -9nf ${WORK_DIR}/${NAME}.${SECTION} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${NAME}.${SECTION} failed")
endif()
file(RENAME ${WORK_DIR}/${NAME}.${SECTION}.gz ${OUT})
