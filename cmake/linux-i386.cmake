# Building the gateway as a 32-bit x86 Linux program with the host's compiler (Debian's
# g++-multilib), statically linked so that it runs under QEMU's user-mode emulator
# (qemu-i386-static), which the process tests use as their wrapper: see scripts/test.sh.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
find_program(QEMU_I386 qemu-i386-static)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_I386})
