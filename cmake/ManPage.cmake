# cmake -P script: calmora.1 and calmora.1.gz in OUT_DIR, made by help2man
# from the program's own --help, so the manual lists exactly the options the
# program takes. Each subcommand's usage joins the synopsis and its help
# follows as sections named after it.
#   -DCALMORA=<program> -DHELP2MAN=<help2man> -DINCLUDE=<calmora.h2m> -DOUT_DIR=<folder>
function(help out)
    execute_process(COMMAND ${CALMORA} ${ARGN} --help RESULT_VARIABLE rc OUTPUT_VARIABLE text)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${CALMORA} ${ARGN} --help failed (${rc})")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

help(top)
set(synopsis "")
set(sections "")
foreach(command stabilise sample)
    help(text ${command})
    # "<description>\nUsage: <usage>\n": the usage goes to the synopsis
    string(REGEX MATCH "^([^\n]*)\nUsage: ([^\n]*)\n" head "${text}")
    string(APPEND synopsis "  or:  ${CMAKE_MATCH_2}\n")
    set(description "${CMAKE_MATCH_1}")
    string(LENGTH "${head}" skip)
    string(SUBSTRING "${text}" ${skip} -1 text)
    string(REPLACE "\nPositionals:" "\n${description} (calmora ${command}):" text "${text}")
    string(REPLACE "\nOptions:" "\nOptions of calmora ${command}:" text "${text}")
    # the numbered choices ("  0 live: ...") as tagged lines: "  live, 0  ..."
    string(REGEX REPLACE "\n  ([0-9]+) ([a-z-]+): " "\n  \\2, \\1    " text "${text}")
    string(APPEND sections "${text}")
endforeach()
string(REGEX REPLACE "(\nUsage: [^\n]*\n)" "\\1${synopsis}" top "${top}")

# help2man runs a program: this one, in a folder of its own beside the real
# program, answers --help with the whole text
set(work ${OUT_DIR}/manpage)
file(WRITE ${work}/help.txt "${top}${sections}")
file(WRITE ${work}/calmora "#!/bin/sh\n[ \"$1\" = --version ] && exec \"${CALMORA}\" --version\n"
    "cat \"${work}/help.txt\"\n")
file(CHMOD ${work}/calmora PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
execute_process(COMMAND ${HELP2MAN} --no-info --name "real-time video stabiliser"
        --include ${INCLUDE} --output ${OUT_DIR}/calmora.1 ${work}/calmora
    RESULT_VARIABLE rc ERROR_VARIABLE error)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "help2man failed (${rc}): ${error}")
endif()
# installed compressed, as Debian keeps manual pages
file(ARCHIVE_CREATE OUTPUT ${OUT_DIR}/calmora.1.gz PATHS ${OUT_DIR}/calmora.1 FORMAT raw
    COMPRESSION GZip COMPRESSION_LEVEL 9)
