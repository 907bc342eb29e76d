# Cross build for armhf (arm-linux-gnueabihf) with Debian's cross compiler (crossbuild-essential-armhf)
# and the target's libraries from multiarch packages (the -dev packages as :armhf).
# Target programs that the build or the tests run go through qemu-arm; binfmt may not be
# registered, so the emulator is named outright, with / as the prefix for the target's
# loader and libraries (multiarch keeps them under /lib/arm-linux-gnueabihf and /usr/lib/arm-linux-gnueabihf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "pkg-config for the target")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
# The target's files live in the host's own tree: find programs on the host, libraries
# and headers through the target's multiarch folders only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
