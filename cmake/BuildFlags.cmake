# Warnings, sanitizers and coverage for every target of the project, when it
# is built for itself (a parent project keeps its own flags).

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
if(TPCC_WERROR)
  add_compile_options(-Werror)
endif()

if(TPCC_SANITIZE)
  add_compile_options(-fsanitize=${TPCC_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${TPCC_SANITIZE})
  if(TPCC_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=all)
    add_link_options(-fno-sanitize-recover=all)
  endif()
endif()

if(TPCC_COVERAGE)
  add_compile_options(--coverage -O0 -fprofile-update=atomic)
  add_link_options(--coverage)
  add_compile_definitions(TPCC_COVERAGE)
endif()

# Release builds, and so the package, carry Debian's usual hardening: checked
# buffer functions, stack protector, read-only relocations bound at start.
# Sanitizer, fuzzing and coverage builds do without: they check for themselves.
if(NOT TPCC_SANITIZE AND NOT TPCC_FUZZ AND NOT TPCC_COVERAGE)
  add_compile_options($<$<CONFIG:Release,RelWithDebInfo>:-D_FORTIFY_SOURCE=2>
                      $<$<CONFIG:Release,RelWithDebInfo>:-fstack-protector-strong>)
  add_link_options($<$<CONFIG:Release,RelWithDebInfo>:LINKER:-z,relro,-z,now>)
endif()
