include(GoogleTest)

# kelvaros_add_gtest(<name> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest program with the shared test main (which fails a test on any unexpected
# warning or error in the host log) and registers every test case with CTest.
function(kelvaros_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE KelvarosTestSupport ${ARG_LIBS})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
