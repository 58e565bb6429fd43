# 64-bit Windows: only for testing the sources under 64-bit Wine on machines
# that cannot run 32-bit x86 code; the product is the 32-bit image.
set(XV_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
