# The Windows pieces, cross-compiled with mingw-w64 when its compilers are
# installed ("scripts/install-deps --wine"): the helper that serves Windows
# plug-ins under Wine, as zumo-spi-host32.exe for 32-bit ".spi" and
# zumo-spi-host64.exe for 64-bit ".sph", and with the tests the Windows
# test plug-ins. Each architecture is a build of its own (spi/windows) with
# the mingw-w64 toolchain, driven from this build.
#
# Sets ZUMO_WINDOWS_BITS (the architectures built: 32, 64) and, when one is
# missing, ZUMO_WINDOWS_MISSING (what to install to get it).
include(ExternalProject)

option(ZUMO_WINDOWS "Cross-build the Windows plug-in helpers when mingw-w64 is installed" ON)
set(ZUMO_WINDOWS_BITS "")
set(ZUMO_WINDOWS_MISSING "")
set(ZUMO_TEST_WINSPI_DIR ${CMAKE_BINARY_DIR}/tests/spi/test_winspi)
add_custom_target(zumo_windows)

set(zumo_windows_arch_32 i686)
set(zumo_windows_arch_64 x86_64)
set(zumo_windows_package_32 g++-mingw-w64-i686-posix)
set(zumo_windows_package_64 g++-mingw-w64-x86-64-posix)
foreach(bits 32 64)
  set(triplet ${zumo_windows_arch_${bits}}-w64-mingw32)
  find_program(ZUMO_MINGW${bits}_CXX NAMES ${triplet}-g++-posix ${triplet}-g++)
  if(NOT ZUMO_WINDOWS OR NOT ZUMO_MINGW${bits}_CXX)
    list(APPEND ZUMO_WINDOWS_MISSING ${zumo_windows_package_${bits}})
    continue()
  endif()
  list(APPEND ZUMO_WINDOWS_BITS ${bits})
  set(launcher "")
  if(CMAKE_CXX_COMPILER_LAUNCHER)
    set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
  endif()
  ExternalProject_Add(zumo_windows${bits}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/spi/windows
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows${bits}
    CMAKE_GENERATOR Ninja
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake
      -DZUMO_MINGW_TRIPLET=${triplet}
      -DCMAKE_BUILD_TYPE=MinSizeRel
      ${launcher}
      -DZUMO_SOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DZUMO_BITS=${bits}
      -DZUMO_HELPER_DIR=${ZUMO_RUNTIME_DIR}
      -DZUMO_TEST_PLUGINS=${ZUMO_TESTS}
      -DZUMO_TEST_PLUGIN_DIR=${ZUMO_TEST_WINSPI_DIR}
    # The sub-build knows its sources; let it decide what is out of date.
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  add_dependencies(zumo_windows zumo_windows${bits})
endforeach()

# Installed beside the native helper, outside the plug-in folder. The names
# installed are written to windows-helpers.txt in the build folder (empty
# when none is built), so that the package check expects exactly these and
# not whatever an earlier configuration left in the runtime folder.
set(zumo_windows_installed "")
foreach(bits IN LISTS ZUMO_WINDOWS_BITS)
  install(PROGRAMS ${ZUMO_RUNTIME_DIR}/zumo-spi-host${bits}.exe
          DESTINATION ${ZUMO_INSTALL_PKGLIBDIR})
  string(APPEND zumo_windows_installed "${ZUMO_INSTALL_PKGLIBDIR}/zumo-spi-host${bits}.exe\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/windows-helpers.txt "${zumo_windows_installed}")
# The program starts the helpers: build them with it.
if(ZUMO_WINDOWS_BITS AND TARGET zumo)
  add_dependencies(zumo zumo_windows)
endif()
