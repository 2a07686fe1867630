# Writes confweba.1 from the program's own --help texts, so that the manual
# never needs a second copy to keep in step:
#   cmake -DCONFWEBA=<binary> -DHELP2MAN=<help2man> -DOUT=<confweba.1>
#         -DWORK=<dir> -P confweba-man.cmake
# The overview comes from `confweba --help` through help2man; each command's
# section from `confweba <command> --help`.
set(commands join invite get site demo)
set(include "[COMMANDS]\n")
foreach(cmd IN LISTS commands)
  execute_process(COMMAND ${CONFWEBA} ${cmd} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${CONFWEBA} ${cmd} --help failed: ${rc}")
  endif()
  string(REPLACE "${CONFWEBA}" "confweba" help "${help}")
  # roff: backslashes print as \e; a line may not start with a control character.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND include ".SS ${cmd}\n.nf\n${help}.fi\n")
endforeach()
string(APPEND include "
[FILES]
The program writes the record files waresponse.rrr and httpresponse.rrr,
as every host of the module does, private to the user, in
$QMX_RECORD_DIR, else $XDG_STATE_HOME/qmxconfweba, else
~/.local/state/qmxconfweba. They hold the requests, passwords included.

[ENVIRONMENT]
.TP
.B QMX_TRACE, QMX_TRACE_LEVEL
Where the module's trace goes (stderr, stdout or a file) and how much of it;
--verbose sends it to stderr.
.TP
.B QMX_RECORD_DIR
The folder of the record files; set but empty, nothing is recorded.
.TP
.B QMX_CONF_PASS
The conference password of join when --conf-pass is not given.
.TP
.B QMX_PASSWORD
The account password of join and invite when --password is not given.

[EXIT STATUS]
0 when the request succeeded, 1 when it failed, 2 for a usage error.
")
file(WRITE ${WORK}/confweba.h2m "${include}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
          "--name=join conferences, have invitations mailed and download files"
          --include=${WORK}/confweba.h2m --output=${OUT} ${CONFWEBA}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed: ${rc}")
endif()
