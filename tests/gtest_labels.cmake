# Read by ctest after the GoogleTest tests are discovered, all labelled
# "cxx": the long ones named here are labelled "cxx;slow", the rest
# "cxx;fast". (Names holding square brackets are not in quarno_tests_TESTS
# and keep "cxx" alone; `make test-fast` runs every test not labelled slow.)
set(quarno_slow_gtests
    Mutants.ByteEdits
    ManningPower.GoldenDecksAreByteIdenticalOnEveryForcedPath
    ManningPower.EveryPathGivesThePlatformPowBitForBit
    LongRecords.DecksPastTheOldTableSizesRunAndTheirFilesHaveTheirShape)
foreach(quarno_test IN LISTS quarno_slow_gtests)
  list(FIND quarno_tests_TESTS "${quarno_test}" quarno_at)
  if(quarno_at LESS 0)
    message(FATAL_ERROR "tests/gtest_labels.cmake: no GoogleTest test ${quarno_test}")
  endif()
endforeach()
foreach(quarno_test IN LISTS quarno_tests_TESTS)
  list(FIND quarno_slow_gtests "${quarno_test}" quarno_at)
  if(quarno_at LESS 0)
    set_tests_properties("${quarno_test}" PROPERTIES LABELS "cxx;fast")
  else()
    # Started first under ctest -j, also before ctest has times of its own.
    set_tests_properties("${quarno_test}" PROPERTIES LABELS "cxx;slow" COST 8)
  endif()
endforeach()
