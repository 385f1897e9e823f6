# Builds with zig for the target in the environment's QUILLON_ZIG_TARGET
# (arch-linux-gnu.glibc, e.g. aarch64-linux-gnu.2.17). Read from the
# environment so that CMake's own try-compile projects see it too.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "$ENV{QUILLON_ZIG_TARGET}")
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib CACHE FILEPATH "")
# zig brings the C library's headers for the chosen glibc; the Python headers
# come by Python_INCLUDE_DIR (tools/build-wheels sets it).
