// Interpreter-version gates of the dialog module, in one place.
//
// Each gate names what differs between the interpreter versions the module
// is built for (3.10 to 3.13) and says which way the code goes; code tests
// the gate, never PY_VERSION_HEX itself.

#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Up to 3.10 a code object keeps its parameter names in the `co_varnames`
// field; from 3.11 PyCode_GetVarnames builds that tuple on request from the
// locals table, and code objects are made by replacing the fields of an
// empty one (bytecode and the constructor change with every version).
#if PY_VERSION_HEX < 0x030B0000
#define TAVREL_CODE_HAS_VARNAMES 1
#else
#define TAVREL_CODE_HAS_VARNAMES 0
#endif

// Up to 3.11 a str may still have to be made ready (PyUnicode_READY)
// before its length and kind are read; from 3.12 every str is.
#if PY_VERSION_HEX < 0x030C0000
#define TAVREL_UNICODE_NEEDS_READY 1
#else
#define TAVREL_UNICODE_NEEDS_READY 0
#endif

// Up to 3.11 every dict carries a version number that changes with each
// modification and never repeats (`ma_version_tag`); 3.12 deprecates it.
#if PY_VERSION_HEX < 0x030C0000
#define TAVREL_HAVE_DICT_VERSION 1
#else
#define TAVREL_HAVE_DICT_VERSION 0
#endif

// Up to 3.10 an instance dict is an ordinary dict object found at its
// offset in the object; from 3.11 an instance's attributes may live inline
// in the object until its dict is asked for, and asking for the dict (even
// for its address) makes it.
#if PY_VERSION_HEX < 0x030B0000
#define TAVREL_INLINE_ATTRIBUTES 0
#else
#define TAVREL_INLINE_ATTRIBUTES 1
#endif

// Up to 3.11 an instance whose dict is set keeps using that dict as it
// is; from 3.12 an instance keeps its attributes inline only while its own
// dict is filled in place.
#if PY_VERSION_HEX < 0x030C0000
#define TAVREL_SET_INSTANCE_DICT 1
#else
#define TAVREL_SET_INSTANCE_DICT 0
#endif

// 3.13 adds PyWeakref_GetRef and PyDict_GetItemRef (strong references)
// and deprecates the borrowed weak-reference read.
#if PY_VERSION_HEX >= 0x030D0000
#define TAVREL_HAVE_GET_REF 1
#else
#define TAVREL_HAVE_GET_REF 0
#endif

// 3.13's PyDict_SetDefaultRef reports success when the dict it inserts
// into fails to grow (memory exhausted), leaving the dict broken for the
// next insertion; PyType_Ready fills a type's dict with it.
#if PY_VERSION_HEX >= 0x030D0000
#define TAVREL_SETDEFAULT_HIDES_MEMORY_ERRORS 1
#else
#define TAVREL_SETDEFAULT_HIDES_MEMORY_ERRORS 0
#endif
