// Interpreter-version gates of the dialog module's general road.
//
// Each gate names what differs between the interpreter versions the module
// is built for (3.10 to 3.13) and says which way the code goes; code tests
// the gate, never PY_VERSION_HEX itself.  The gates that only the
// shortcuts need live with them, in fast_paths.cpp.

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
