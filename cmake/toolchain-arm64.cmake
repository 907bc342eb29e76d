# Cross build for arm64 (aarch64-linux-gnu) with Debian's cross compiler (crossbuild-essential-arm64)
# and the target's libraries from multiarch packages (the -dev packages as :arm64).
# Target programs that the build or the tests run go through qemu-aarch64; binfmt may not be
# registered, so the emulator is named outright, with / as the prefix for the target's
# loader and libraries (multiarch keeps them under /lib/aarch64-linux-gnu and /usr/lib/aarch64-linux-gnu).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for the target")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
# The target's files live in the host's own tree: find programs on the host, libraries
# and headers through the target's multiarch folders only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
