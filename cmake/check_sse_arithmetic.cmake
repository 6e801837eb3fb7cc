# Checks that a function of a built i686 program does its floating-point arithmetic in SSE2, not
# on the x87 stack, whose 80-bit registers would leave intermediate results unrounded. Loads and
# stores of st(0) stay allowed: the 32-bit calling convention returns a double there.
# Usage: cmake -DOBJDUMP=... -DPROGRAM=... -DSYMBOL=... -P check_sse_arithmetic.cmake
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn --disassemble=${SYMBOL} ${PROGRAM}
                OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${OBJDUMP} could not disassemble ${PROGRAM}")
endif()
string(REGEX MATCHALL "\n[ \t]*[0-9a-f]+:[ \t]+[a-z][^\n]*" instructions "${listing}")
list(LENGTH instructions count)
if(count LESS 10)
    message(FATAL_ERROR "${SYMBOL} not found in ${PROGRAM}")
endif()
set(x87 "")
foreach(line IN LISTS instructions)
    if(line MATCHES ":[ \t]+(fi?(add|sub|subr|mul|div|divr)[a-z]*|fsqrt|fprem1?|fscale|f2xm1|fyl2xp?1?|fpatan|fptan|fsin|fcos|fsincos|frndint)[ \t\n]")
        string(STRIP "${line}" line)
        list(APPEND x87 "${line}")
    endif()
endforeach()
if(x87)
    list(JOIN x87 "\n  " shown)
    message(FATAL_ERROR "${SYMBOL} in ${PROGRAM} does x87 arithmetic:\n  ${shown}")
endif()
message(STATUS "${SYMBOL}: ${count} instructions, no x87 arithmetic")
