# Included by CTest before the tests are registered. Where everything runs
# several times slower (the emulated i686 machine, scripts/i686-vm.sh), the
# environment's XV_TEST_TIME_SCALE multiplies every test's TIMEOUT: the
# command is replaced for the rest of CTest's reading, the original one being
# _set_tests_properties. Each argument is passed on as it came, lists (LABELS,
# ENVIRONMENT) included.
if(DEFINED ENV{XV_TEST_TIME_SCALE})
  function(set_tests_properties)
    set(code "_set_tests_properties(")
    set(scale_next FALSE)
    math(EXPR last "${ARGC} - 1")
    foreach(i RANGE ${last})
      set(arg "${ARGV${i}}")
      if(scale_next)
        math(EXPR arg "${arg} * $ENV{XV_TEST_TIME_SCALE}")
        set(scale_next FALSE)
      elseif(arg STREQUAL "TIMEOUT")
        set(scale_next TRUE)
      endif()
      string(APPEND code " [==[${arg}]==]")
    endforeach()
    cmake_language(EVAL CODE "${code})")
  endfunction()
endif()
