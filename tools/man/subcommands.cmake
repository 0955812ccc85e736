# Writes a help2man include file with a section per subcommand: its own --help, set verbatim.
# Run with -DTOOL=path/to/tallowmere-dat -DOUTPUT=file.
set(subcommands info ls cat extract sound-table environ check explain map diff)
set(text "[SUBCOMMANDS]\n")
foreach(subcommand IN LISTS subcommands)
  execute_process(COMMAND ${TOOL} ${subcommand} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${subcommand} --help failed")
  endif()
  # roff: a backslash is \e, a line starting with . or ' needs \& before it.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND text ".SS ${subcommand}\n.nf\n${help}.fi\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
