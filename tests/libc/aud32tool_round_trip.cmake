# aud32tool -m 0 then -m 1 on a tone made by libc_test; libc_test compares.
# Run with -DEMULATOR=... (may be empty, | between its words) -DDIR=... -DCHECK=... -DTOOL=...
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
set(in ${DIR}/round_trip.pcm)
set(coded ${DIR}/round_trip.a32)
set(out ${DIR}/round_trip_out.pcm)
file(REMOVE ${in} ${coded} ${out})
foreach(step "${CHECK};tone;${in}" "${TOOL};-m;0;-i;${in};-o;${coded}" "${TOOL};-m;1;-i;${coded};-o;${out}"
             "${CHECK};compare;${out}")
  execute_process(COMMAND ${EMULATOR} ${step} RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${step}: status ${rc}\n${stdout}${stderr}")
  endif()
endforeach()
file(SIZE ${coded} coded_size)
file(SIZE ${in} in_size)
# 32 kbit/s of 16-bit 32 kHz PCM: a sixteenth of the bytes.
math(EXPR want "${in_size} / 16")
if(NOT coded_size EQUAL want)
  message(FATAL_ERROR "${coded_size} coded bytes for ${in_size} PCM bytes, want ${want}")
endif()
