/* The interpreter's configuration on 64-bit Windows, as far as an extension module's
   compilation sees it: used by scripts/cross-check.sh to compile the modules against
   this machine's interpreter headers with mingw-w64. Sizes are those of the LLP64
   model; the interpreter is a DLL whose symbols are imported. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32 1
#define MS_WIN64 1
#define MS_WINDOWS 1
#define NT_THREADS 1
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL 1

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

#define HAVE_SSIZE_T 1
#define HAVE_WCHAR_H 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define PY_LITTLE_ENDIAN 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#endif
