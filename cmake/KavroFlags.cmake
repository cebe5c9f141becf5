# Compiler flags shared by the library, tests, tools and benchmarks.
#
# The library must run on any x86-64 machine, so the baseline is x86-64-v2
# (SSE4.2); wider vector code is compiled per function and chosen at run time.
set(KAVRO_WARNINGS -Wall -Wextra -Werror)
set(KAVRO_ARCH_FLAGS)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  set(KAVRO_ARCH_FLAGS -march=x86-64-v2 -mtune=generic)
endif()

set(KAVRO_SAN_FLAGS)
if(KAVRO_ASAN AND KAVRO_TSAN)
  message(FATAL_ERROR "KAVRO_ASAN and KAVRO_TSAN cannot be combined")
endif()
if(KAVRO_ASAN)
  set(KAVRO_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
      -fno-omit-frame-pointer)
elseif(KAVRO_TSAN)
  set(KAVRO_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()

function(kavro_set_flags target)
  target_compile_options(${target} PRIVATE ${KAVRO_WARNINGS} ${KAVRO_ARCH_FLAGS}
                         ${KAVRO_SAN_FLAGS})
  kavro_set_link_flags(${target})
endfunction()

function(kavro_set_link_flags target)
  if(KAVRO_SAN_FLAGS)
    target_link_options(${target} PUBLIC ${KAVRO_SAN_FLAGS})
  endif()
endfunction()
