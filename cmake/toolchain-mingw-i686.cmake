set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
# Wine's 32-bit loader (Debian's wine32:i386). Without it a 32-bit program does
# not run at all, so scripts/test-all.sh checks that it is there first.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
