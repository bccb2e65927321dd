# The portable build, for the wheels that scripts/build-wheels makes: zig's clang targeting x86_64 Linux with
# glibc 2.17, so that auditwheel tags the wheels manylinux2014. The module then needs only GLIBC_2.14 symbols
# and no C++ runtime library.
#   cmake -S . -B build/portable -DCMAKE_TOOLCHAIN_FILE=scripts/portable/toolchain.cmake
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# -mtls-dialect=gnu2: TLS descriptors for the guard's thread record, which CMakeLists.txt asks for only where
# the compiler takes the option; the wheels must have them (a module loaded with dlopen cannot count on
# static TLS), so here a compiler without it fails the build.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${CMAKE_CURRENT_LIST_DIR}/include -mtls-dialect=gnu2")

# Flags that bring the instructions per call to the g++ build's or below (scripts/bench-portable;
# the figures are for CPython 3.11, calls of bench/instructions.py). A plain Release build with zig's clang
# runs 1 to 6% more (connect(): 5286 against g++'s 4984). zig's clang keeps the frame pointer even at -O3
# (-mframe-pointer=all), which g++ leaves out: -fomit-frame-pointer (5093). -fno-plt calls the interpreter's
# functions through the GOT rather than a PLT stub (5075). Link-time optimisation inlines the hot helpers
# across the source files, which the g++ build does not do (4695). CMake adds -O3 -DNDEBUG after these.
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-fomit-frame-pointer -fno-plt -flto")
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-flto")
