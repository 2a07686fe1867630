# Writes confweba.1 from the program's own --help texts, so that the manual
# never needs a second copy to keep in step:
#   cmake -DCONFWEBA=<binary> -DHELP2MAN=<help2man> -DOUT=<confweba.1>
#         -DWORK=<dir> -DRESULTS=<ConfWebaResultList.h> -P confweba-man.cmake
# The overview comes from `confweba --help` through help2man; each command's
# section from `confweba <command> --help`; the result codes of EXIT STATUS
# from the module's list of results, the one place their numbers live.
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
# Every failure a host can be told of, with the text confweba prints for it
# (the client's text when the host has none).
file(STRINGS ${RESULTS} resultLines REGEX "^QMX_RESULT\\(")
set(results "")
foreach(line IN LISTS resultLines)
  if(line MATCHES "^QMX_RESULT\\(([A-Z_]+), ([0-9]+), (nullptr|\"[^\"]*\"), (nullptr|\"[^\"]*\")\\)")
    set(name ${CMAKE_MATCH_1})
    set(code ${CMAKE_MATCH_2})
    set(text "${CMAKE_MATCH_4}")
    if(text STREQUAL "nullptr" OR text STREQUAL "\"\"")
      set(text "${CMAKE_MATCH_3}")
    endif()
    # Success and the pending read are no outcome a user is told of.
    if(NOT name MATCHES "^ERR_" OR text STREQUAL "nullptr")
      continue()
    endif()
    string(REGEX REPLACE "^\"(.*)\"$" "\\1" text "${text}")
    string(APPEND results ".TP\n.B ${code}\n${text} (QMX_${name})\n")
  endif()
endforeach()
if(results STREQUAL "")
  message(FATAL_ERROR "no results read from ${RESULTS}")
endif()

string(APPEND include "
[FILES]
The program writes the record files waresponse.rrr and httpresponse.rrr,
as every host of the module does, private to the user, in
$QMX_RECORD_DIR, else $XDG_STATE_HOME/qmxconfweba, else
~/.local/state/qmxconfweba. They hold the requests, passwords included.

[ENVIRONMENT]
.TP
.B QMX_CONF_PASS
The conference password of join when --conf-pass is not given.
.TP
.B QMX_PASSWORD
The account password of join and invite when --password is not given.
.TP
.B QMX_RECORD_DIR
The folder of the record files; set but empty, nothing is recorded.
.TP
.B XDG_STATE_HOME
The record files go to its qmxconfweba folder when QMX_RECORD_DIR is unset.
.TP
.B http_proxy, https_proxy, all_proxy, no_proxy
The proxy of plain and of TLS requests, the one of both, and the hosts
reached directly, when the desktop's settings name none; --proxy and
--noproxy take their place. HTTPS_PROXY, ALL_PROXY and NO_PROXY are read
too, HTTP_PROXY never: under CGI a request header sets it.
.TP
.B QMX_NO_LIBPROXY
Set to anything but \"\" or 0, the desktop's proxy settings are not asked;
the variables above still count.
.TP
.B QMX_TRACE, QMX_TRACE_LEVEL
Where the module's trace goes (stderr, stdout or a file) and how much of it;
--verbose sends it to stderr.

[EXIT STATUS]
.TP
.B 0
The request succeeded.
.TP
.B 1
It failed: stderr (or the JSON object's \"result\" and \"error\") gives one
of the result codes below, with the transport's cause when one is known.
.TP
.B 2
A usage error: an unknown command or option, a missing argument.
.TP
.B 130
get was interrupted with Ctrl-C; no file was left.
.PP
Result codes:
${results}
[EXAMPLES]
.nf
confweba site --port 8080 &
confweba join 'http://127.0.0.1:8080/site1/join.do?confKey=123456&lang=en' \\\\
    --conf-pass - --name 'Ann Lee' --out meeting --fetch-loader
confweba get http://127.0.0.1:8080/files/qmxloader.bin -o loader.bin
confweba -s get http://127.0.0.1:8080/files/qmxloader.bin -o - | sha256sum
confweba -x socks5://127.0.0.1:1080 --noproxy localhost,10.0.0.0/8 get URL -o FILE
confweba --json invite --site-url http://127.0.0.1:8080/site1/ --site-name site1 \\\\
    --conf-id 123456 --user host --password - ann@example.com
.fi

[SEE ALSO]
.BR curl (1)
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
