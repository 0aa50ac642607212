# Rewrites the widl-generated proxy code (-Oif) so that [out, string] pointer
# parameters (LPWSTR *) marshal their string.
#
#   cmake -DPROXY_FILE=<file>_p.c -P FixOutStringOffsets.cmake
#
# widl gives such a parameter a type offset that points at the inner string
# pointer (FC_OP) instead of the reference pointer (FC_RP) that precedes it by
# four bytes; the stub then sends a null string with S_OK. Each parameter of
# the procedure format string with the flags of a sized out pointer
# (0x2013) whose type offset names such an FC_OP is pointed at its FC_RP.
# The rewrite is idempotent, and fails loudly when the pattern is not found,
# so a widl that changes its output is noticed at build time.
if(NOT PROXY_FILE)
  message(FATAL_ERROR "PROXY_FILE is not set")
endif()
file(READ ${PROXY_FILE} code)

set(pair_re "/\\* ([0-9]+) \\(LPWSTR \\*\\) \\*/\n[ \t]+0x11, 0x14,[^\n]*\n[ \t]+NdrFcShort\\(0x2\\),[^\n]*\n/\\* ([0-9]+) \\(LPWSTR\\) \\*/\n[ \t]+0x13, 0x8,")
string(REGEX MATCHALL "${pair_re}" pairs "${code}")
if(NOT pairs)
  message(FATAL_ERROR "${PROXY_FILE}: no [out, string] pointer type found to fix")
endif()

set(fixed 0)
foreach(pair IN LISTS pairs)
  string(REGEX MATCH "${pair_re}" _ "${pair}")
  set(rp ${CMAKE_MATCH_1})
  set(op ${CMAKE_MATCH_2})
  math(EXPR expected "${rp} + 4")
  if(NOT op EQUAL expected)
    message(FATAL_ERROR "${PROXY_FILE}: unexpected layout at type offset ${rp}")
  endif()
  math(EXPR rp_hex "${rp}" OUTPUT_FORMAT HEXADECIMAL)
  set(param_re "(NdrFcShort\\(0x2013\\),[^\n]*\n[^\n]*stack offset[^\n]*\n[ \t]+)NdrFcShort\\(0x[0-9a-fA-F]+\\),([ \t]*/\\* type offset = )${op}( \\*/)")
  string(REGEX MATCHALL "${param_re}" hits "${code}")
  list(LENGTH hits count)
  math(EXPR fixed "${fixed} + ${count}")
  string(REGEX REPLACE "${param_re}" "\\1NdrFcShort(${rp_hex}),\\2${rp}\\3" code "${code}")
endforeach()

# Parameters already pointing at the FC_RP (a second run) count as fixed.
foreach(pair IN LISTS pairs)
  string(REGEX MATCH "${pair_re}" _ "${pair}")
  string(REGEX MATCHALL "NdrFcShort\\(0x2013\\),[^\n]*\n[^\n]*stack offset[^\n]*\n[ \t]+NdrFcShort\\(0x[0-9a-fA-F]+\\),[ \t]*/\\* type offset = ${CMAKE_MATCH_1} \\*/" done "${code}")
  list(LENGTH done count)
  math(EXPR fixed "${fixed} + ${count}")
endforeach()
if(fixed EQUAL 0)
  message(FATAL_ERROR "${PROXY_FILE}: no [out, string] pointer parameter found to fix")
endif()
file(WRITE ${PROXY_FILE} "${code}")
