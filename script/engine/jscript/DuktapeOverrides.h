// Our settings for the Duktape build, included near the end of the duk_config.h that
// scripts/configure-duktape generates (options that change the built-ins' initialisation
// data, such as which built-ins exist, are configure options in CMakeLists.txt instead).
//
// The stock configuration of the source package leaves out the execution time-out
// hook; the engine needs it so that InterruptScriptThread can stop a running script
// (a loop never returns to the host on its own). Duktape counts bytecode instructions
// and, every so often, asks the hook whether to stop; the hook answers from the flag
// the engine keeps (its heap's user data). The recursion limits are lowered so that
// deep nesting in a script ends in a RangeError well before the native stack of a
// worker thread (or a sanitizer build's larger frames) is exhausted.
#pragma once

// Errors as C++ exceptions (the library is compiled as C++).
#undef DUK_USE_CPP_EXCEPTIONS
#define DUK_USE_CPP_EXCEPTIONS

#undef DUK_USE_INTERRUPT_COUNTER
#define DUK_USE_INTERRUPT_COUNTER
#undef DUK_USE_EXEC_TIMEOUT_CHECK
#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) CorvaneDuktapeTimeoutCheck(udata)

#undef DUK_USE_NATIVE_CALL_RECLIMIT
#define DUK_USE_NATIVE_CALL_RECLIMIT 120
#undef DUK_USE_COMPILER_RECLIMIT
#define DUK_USE_COMPILER_RECLIMIT 400
#undef DUK_USE_REGEXP_COMPILER_RECLIMIT
#define DUK_USE_REGEXP_COMPILER_RECLIMIT 1000
#undef DUK_USE_REGEXP_EXECUTOR_RECLIMIT
#define DUK_USE_REGEXP_EXECUTOR_RECLIMIT 1000
#undef DUK_USE_JSON_DEC_RECLIMIT
#define DUK_USE_JSON_DEC_RECLIMIT 400
#undef DUK_USE_JSON_ENC_RECLIMIT
#define DUK_USE_JSON_ENC_RECLIMIT 400
#undef DUK_USE_CALLSTACK_LIMIT
#define DUK_USE_CALLSTACK_LIMIT 3000

// A heap lives for one run of a page, and reference counting frees most of its garbage
// at once; the periodic mark-and-sweep passes cost more than the cycles they find in such
// a short life (starting a heap alone triggered several). Cycles are still collected
// when an allocation fails (the allocator refuses beyond the engine's memory limit, and
// Duktape then collects and retries) and when the heap is destroyed.
#undef DUK_USE_VOLUNTARY_GC

#if defined(__cplusplus)
extern "C" {
#endif
// True when the engine that owns the heap has been asked to stop its script.
duk_bool_t CorvaneDuktapeTimeoutCheck(void* udata);
// Makes the thread check for an interrupt before its next instruction (after a host
// call, so that an interrupt raised inside it takes effect at once).
void CorvaneDuktapeRequestInterrupt(duk_context* ctx);
#if defined(__cplusplus)
}
#endif
