# velmora_library(NAME DEPS...) makes one static library from every .cpp of
# the calling folder; the project root is the include root ("platform/X.h").
function(velmora_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    # A layer with no code yet is an empty interface, so the layers above link.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# velmora_test(NAME DEPS...) makes one GoogleTest binary from every *_test.cpp
# of the calling folder and registers each of its tests with CTest.
find_package(GTest REQUIRED)
include(GoogleTest)
function(velmora_test name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    VELMORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    VELMORA_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()

# velmora_program(TARGET) installs the program TARGET: the executable in
# lib/velmora/ (the run finds its parameter file there, next to its real
# executable), a link bin/TARGET to it, and the manual page
# docs/man/TARGET.1, gzipped, in share/man/man1/ when that file exists.
# Every program's CMakeLists calls it once after add_executable(TARGET ...);
# cmake/Package.cmake then puts whatever was installed into the package.
# The target velmora_programs builds everything that is installed, so a
# package can be made without building the tests (`ninja velmora_programs`,
# then `cpack`).
set(VELMORA_PROGRAM_DIR lib/velmora)
add_custom_target(velmora_programs)
function(velmora_program target)
  add_dependencies(velmora_programs ${target})
  install(TARGETS ${target} RUNTIME DESTINATION ${VELMORA_PROGRAM_DIR})

  # The link is made in the build tree and installed as a link (relative,
  # so it holds under any prefix and DESTDIR).
  set(link ${PROJECT_BINARY_DIR}/install/bin/${target})
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/install/bin)
  file(CREATE_LINK ../${VELMORA_PROGRAM_DIR}/${target} ${link} SYMBOLIC)
  install(FILES ${link} DESTINATION bin)

  set(page ${PROJECT_SOURCE_DIR}/docs/man/${target}.1)
  if(EXISTS ${page})
    # gzip -n leaves out name and time, so the same page gives the same bytes.
    set(gz ${PROJECT_BINARY_DIR}/install/man/${target}.1.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E copy ${page} ${PROJECT_BINARY_DIR}/install/man/${target}.1
      COMMAND gzip -n -9 -f ${PROJECT_BINARY_DIR}/install/man/${target}.1
      DEPENDS ${page}
      COMMENT "Compressing manual page ${target}.1"
      VERBATIM)
    add_custom_target(${target}_manpage ALL DEPENDS ${gz})
    add_dependencies(velmora_programs ${target}_manpage)
    install(FILES ${gz} DESTINATION share/man/man1)
  endif()
endfunction()
