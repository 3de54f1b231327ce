# Fails when libzelvar.so exports a symbol beyond the host's surface: the
# six functions, CKParam, CTool, and the standard library's own template
# instances.
execute_process(COMMAND nm -D --defined-only -C ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(unexpected "")
set(found_functions 0)
foreach(line ${lines})
  string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${line}")
  if(name MATCHES "^(OpenLog|OpenDBFriend|PutUserExtraDataFriend|GetUserExtraDataFriend|GetQueryExtraDataFriendRecord|MyDeletePtr)$")
    math(EXPR found_functions "${found_functions} + 1")
  elseif(name MATCHES "^CKParam::|^CTool::"
         OR name MATCHES "^(typeinfo|typeinfo name|vtable) for (CKParam|CTool)$"
         OR name MATCHES "^([A-Za-z_:<>*&, ]+ )?(std|__gnu_cxx)::"
         OR name MATCHES "^(typeinfo|typeinfo name|vtable|VTT) for (std|__gnu_cxx)::"
         OR name MATCHES "^_(init|fini|edata|end|_bss_start)$" OR name STREQUAL "")
  else()
    list(APPEND unexpected "${name}")
  endif()
endforeach()
if(unexpected)
  message(FATAL_ERROR "Unexpected exports:\n${unexpected}")
endif()
if(NOT found_functions EQUAL 6)
  message(FATAL_ERROR "Expected the six exported functions, found ${found_functions}")
endif()
