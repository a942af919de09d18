include(GoogleTest)

# THREADED marks a program whose code under test runs on several threads: its tests carry the CTest label
# "threaded", and the ThreadSanitizer variant of the test script builds (target threaded_tests) and runs only those.
function(_kelvaros_add_test_program name platform)
  cmake_parse_arguments(ARG "THREADED" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE KelvarosTestSupport ${ARG_LIBS})
  set(labels "")
  if(ARG_THREADED)
    set(labels threaded)
    set_property(GLOBAL APPEND PROPERTY KELVAROS_THREADED_TEST_PROGRAMS ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=${platform}" LABELS "${labels}")
endfunction()

# kelvaros_add_gtest(<name> [THREADED] SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest program with the shared test main (which fails a test on any unexpected
# warning or error in the host log) and registers every test case with CTest.
function(kelvaros_add_gtest name)
  _kelvaros_add_test_program(${name} offscreen ${ARGN})
endfunction()

# kelvaros_add_gl_test(<name> [THREADED] SOURCES <files...> LIBS <targets...>)
# The same for tests that draw with OpenGL: they run on Qt's xcb platform and so need an X display
# (scripts/test starts Xvfb, drawn by Mesa's software renderer, when DISPLAY is unset).
function(kelvaros_add_gl_test name)
  _kelvaros_add_test_program(${name} xcb ${ARGN})
  if(KELVAROS_SANITIZE_ADDRESS)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/NoLeakCheckAtExit.cpp)
  endif()
endfunction()

# kelvaros_add_widget_test(<name> [THREADED] SOURCES <files...> LIBS <targets...>)
# Panels driven as a user would: widgets but no OpenGL of their own. They run on the xcb platform as a user's
# would, except under ThreadSanitizer: there the offscreen platform keeps them away from the xcb platform's
# accessibility bridge, whose D-Bus thread inside uninstrumented Qt it would report.
function(kelvaros_add_widget_test name)
  if(KELVAROS_SANITIZE_THREAD)
    kelvaros_add_gtest(${name} ${ARGN})
  else()
    kelvaros_add_gl_test(${name} ${ARGN})
  endif()
endfunction()

# The target that builds every THREADED program; call once, after all tests are added.
function(kelvaros_add_threaded_tests_target)
  get_property(programs GLOBAL PROPERTY KELVAROS_THREADED_TEST_PROGRAMS)
  add_custom_target(threaded_tests)
  add_dependencies(threaded_tests ${programs})
endfunction()
