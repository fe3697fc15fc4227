// Compiles the Duktape amalgamation of the build directory with our configuration, as
// C++: Duktape's errors then travel as C++ exceptions, so the destructors and lock
// guards of the engine's frames run when a script error unwinds through them (a
// longjmp would skip them). Adds the one hook that needs the interpreter's own thread
// state: a request to check for an interrupt before the next instruction.
#include "duktape.c"

extern "C" void CorvaneDuktapeRequestInterrupt(duk_context* ctx) {
    duk_hthread* thr = reinterpret_cast<duk_hthread*>(ctx);
    if (thr != nullptr) {
        thr->interrupt_counter = 0;
    }
}
