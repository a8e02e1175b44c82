# The tests of natjoin.exe, cross-built with mingw-w64 and run under wine: the unit tests, the
# end-to-end cases with CR LF line ends and the Windows cases of their own, the DLLs that
# natjoin.exe imports, and the zip. Included by tests/CMakeLists.txt in a Windows build.

# GoogleTest from its sources (Debian's googletest package), built with the same compiler.
set(gtest_sources /usr/src/googletest)
if(NOT EXISTS ${gtest_sources}/CMakeLists.txt)
  message(STATUS "Tests left out: no GoogleTest sources in ${gtest_sources} (Debian: apt-get "
                 "install googletest, or the README's Windows command)")
  return()
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${gtest_sources} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# Under a cross build every test program runs under wine, in a prefix of this build folder's
# own. The prefix is made at build time: made by the first test, it would take longer (about
# 10 s) than test discovery may. WINEDEBUG keeps wine's error lines, such as a DLL not found,
# which would otherwise show only as exit code 53; WINEDLLOVERRIDES skips the dialogs that
# offer to install Mono and Gecko.
if(CMAKE_CROSSCOMPILING)
  find_program(NATJOIN_WINE wine REQUIRED)
  find_program(NATJOIN_WINESERVER wineserver REQUIRED)
  set(natjoin_wine_prefix ${CMAKE_BINARY_DIR}/wine)
  set(natjoin_wine_env env WINEPREFIX=${natjoin_wine_prefix} WINEDEBUG=fixme-all
                       WINEDLLOVERRIDES=mscoree,mshtml=)
  # Now and then wine cannot start a program when the kernel has placed a mapping where wine
  # wants its own ("failed to map the shared user data"); without address randomisation, which
  # setarch -R turns off for the tests and every process they start, it always finds room.
  find_program(NATJOIN_SETARCH setarch)
  set(natjoin_fixed_layout)
  if(NATJOIN_SETARCH)
    set(natjoin_fixed_layout ${NATJOIN_SETARCH} -R)
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${natjoin_wine_env} ${natjoin_fixed_layout} ${NATJOIN_WINE})
  add_custom_command(
    OUTPUT ${natjoin_wine_prefix}/system.reg
    COMMAND ${natjoin_wine_env} WINEDEBUG=-all ${NATJOIN_WINE} wineboot -i
    COMMAND ${natjoin_wine_env} ${NATJOIN_WINESERVER} -w
    COMMENT "Making the wine prefix"
    VERBATIM)
  add_custom_target(wine_prefix ALL DEPENDS ${natjoin_wine_prefix}/system.reg)
  # The wineserver that the tests started is stopped once they have all run.
  add_test(NAME wineserver_stop COMMAND sh -c "\"$@\" -k || true" sh ${natjoin_wine_env}
                                         ${NATJOIN_WINESERVER})
  set_tests_properties(wineserver_stop PROPERTIES FIXTURES_CLEANUP wine)
  set(natjoin_path_prefix Z:)  # where wine shows the build machine's root
endif()

# Tests list themselves by running under wine: a warm wineserver starts a program in well under
# a second, a cold one takes seconds.
add_executable(natjoin_tests ${natjoin_unit_tests})
target_link_libraries(natjoin_tests PRIVATE natjoin_engine natjoin_platform gtest gtest_main)
gtest_discover_tests(natjoin_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES FIXTURES_REQUIRED wine)

add_executable(natjoin_e2e_tests e2e_win32_test.cpp)
file(GLOB_RECURSE e2e_case_files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/*)
set_property(SOURCE e2e_win32_test.cpp APPEND PROPERTY OBJECT_DEPENDS ${e2e_case_files})
target_link_libraries(natjoin_e2e_tests PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(
  natjoin_e2e_tests PRIVATE NATJOIN_BINARY="${natjoin_path_prefix}$<TARGET_FILE:natjoin>"
                            NATJOIN_CASES="${natjoin_path_prefix}${CMAKE_CURRENT_SOURCE_DIR}/e2e")
add_dependencies(natjoin_e2e_tests natjoin)
gtest_discover_tests(natjoin_e2e_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)

# natjoin.exe imports only Windows' own DLLs, and has the hardening bits of its header.
find_program(NATJOIN_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
add_test(NAME imports_only_windows_dlls
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/imports_test.sh ${NATJOIN_OBJDUMP}
                 $<TARGET_FILE:natjoin>)

# cpack -G ZIP makes natjoin-<version>-win64.zip with natjoin.exe, the README, the manual and
# the license.
add_test(NAME windows_zip
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/zip_test.sh ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}
                 ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR}/LICENSE)
