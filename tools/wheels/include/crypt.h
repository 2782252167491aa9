/* CPython 3.8's Python.h includes <crypt.h>, which zig's glibc headers do not
   carry (libcrypt is a library of its own); nothing the kit builds uses it. */
#pragma once
