# cmake -DBINARY=<file> -DSYMBOLS=<a;b;...> -P CheckSymbols.cmake
# Fails unless nm lists every symbol as defined in BINARY under exactly its
# name: no namespace, no C++ decoration.
execute_process(COMMAND nm --defined-only "${BINARY}" OUTPUT_VARIABLE listing
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${BINARY}")
endif()
foreach(symbol IN LISTS SYMBOLS)
  if(NOT listing MATCHES "(^|\n)[0-9a-f]+ [BDRT] ${symbol}\n")
    message(FATAL_ERROR "${BINARY} does not define ${symbol}")
  endif()
endforeach()
