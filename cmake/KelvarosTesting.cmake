include(GoogleTest)

function(_kelvaros_add_test_program name platform)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE KelvarosTestSupport ${ARG_LIBS})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=${platform}")
endfunction()

# kelvaros_add_gtest(<name> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest program with the shared test main (which fails a test on any unexpected
# warning or error in the host log) and registers every test case with CTest.
function(kelvaros_add_gtest name)
  _kelvaros_add_test_program(${name} offscreen ${ARGN})
endfunction()

# kelvaros_add_gl_test(<name> SOURCES <files...> LIBS <targets...>)
# The same for tests that draw with OpenGL: they run on Qt's xcb platform and so need an X display
# (scripts/test starts Xvfb, drawn by Mesa's software renderer, when DISPLAY is unset).
function(kelvaros_add_gl_test name)
  _kelvaros_add_test_program(${name} xcb ${ARGN})
endfunction()
