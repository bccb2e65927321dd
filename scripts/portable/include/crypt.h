/* Python.h of CPython 3.7 and 3.8 includes <crypt.h> when the interpreter's build machine had it. The glibc
   headers that zig ships leave it out (libcrypt is a library of its own), and the module calls nothing from
   it, so the portable build finds this empty one instead. */
