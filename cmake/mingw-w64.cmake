# Toolchain for the Windows helpers, cross-compiled with mingw-w64.
# ZUMO_MINGW_TRIPLET is i686-w64-mingw32 (32-bit plug-ins) or
# x86_64-w64-mingw32 (64-bit plug-ins). The POSIX thread flavour of the
# compilers is taken when installed: its C++ library has std::thread.
set(CMAKE_SYSTEM_NAME Windows)
if(ZUMO_MINGW_TRIPLET MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
endif()
foreach(flavour -posix "")
  find_program(zumo_mingw_cxx NAMES ${ZUMO_MINGW_TRIPLET}-g++${flavour} NO_CACHE)
  if(zumo_mingw_cxx)
    set(CMAKE_CXX_COMPILER ${zumo_mingw_cxx})
    break()
  endif()
endforeach()
set(CMAKE_RC_COMPILER ${ZUMO_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZUMO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
