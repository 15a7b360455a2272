# Cross build for the exchange unit: 32-bit big-endian PowerPC, Linux, glibc.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake -DVALTD_PPC_STAGE=<stage> ...
# VALTD_PPC_STAGE is the folder scripts/ppc-deps.sh fills with the target's
# OpenSSL, SQLite, GoogleTest and JSON headers. Tests run under qemu-ppc with
# the e300c3 core (it has a floating-point unit).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-cpu;e300c3;-L;/usr/powerpc-linux-gnu)

set(VALTD_PPC_STAGE "" CACHE PATH "Staging folder of the target libraries (scripts/ppc-deps.sh)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VALTD_PPC_STAGE)

# 64-bit time_t and file offsets on the 32-bit target, in every part alike.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
# The binaries are linked statically: the unit's C library is then no concern.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu ${VALTD_PPC_STAGE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static OpenSSL (FindOpenSSL) and SQLite.
set(OPENSSL_USE_STATIC_LIBS TRUE)
