#include "vek_mutex.h"

// Built before every other static object of the program, so that static initialisers in
// any translation unit may already take it.
__attribute__((init_priority(101))) VEK_Mutex vek_global_mutex;
