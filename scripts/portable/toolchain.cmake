# The portable build, for the wheels that scripts/build-wheels makes: zig's clang targeting x86_64 Linux with
# glibc 2.17, so that auditwheel tags the wheels manylinux2014. The module then needs only GLIBC_2.14 symbols
# and no C++ runtime library.
#   cmake -S . -B build/portable -DCMAKE_TOOLCHAIN_FILE=scripts/portable/toolchain.cmake
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# The guard's thread record: CMakeLists.txt asks for TLS descriptors (-mtls-dialect=gnu2), which zig's clang
# takes, but with -flto the code is generated in zig's own link, which does not pass the option on: the
# release build reaches the record through __tls_get_addr. Either way it is global-dynamic TLS, which a module
# loaded with dlopen can always get (readelf -d shows no STATIC_TLS).
set(CMAKE_CXX_FLAGS_INIT "-isystem ${CMAKE_CURRENT_LIST_DIR}/include")

# Flags that bring the instructions per call to the g++ build's or below (scripts/bench-portable;
# the figures are for CPython 3.11, calls of bench/instructions.py). A plain Release build with zig's clang
# runs 1 to 6% more (connect(): 5286 against g++'s 4984). zig's clang keeps the frame pointer even at -O3
# (-mframe-pointer=all), which g++ leaves out: -fomit-frame-pointer (5093). -fno-plt calls the interpreter's
# functions through the GOT rather than a PLT stub (5075). Link-time optimisation inlines the hot helpers
# across the source files, which the g++ build does not do (4695). CMake adds -O3 -DNDEBUG after these.
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-fomit-frame-pointer -fno-plt -flto")
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-flto")
