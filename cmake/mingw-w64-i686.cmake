# Cross build for 32-bit Windows with Debian's mingw-w64 i686 compilers.
#
# The posix-thread variants: the test programs use the C++ thread library,
# which the win32-thread variant of GCC 12 lacks. The module itself uses no
# threads and links no thread library (its import check holds it to that).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TARVANE_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVANE_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${TARVANE_MINGW_TRIPLET}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TARVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
