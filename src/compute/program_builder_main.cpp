// corvel-program-builder: builds one compute program (a request on standard
// input) so that the runtime's kernel cache holds it, then exits; see
// compute/ProgramBuilder.h.
#include "compute/ProgramBuilder.h"

#include <unistd.h>

// _exit: the cache is written when the build returns, and the runtime's
// teardown (or a leak checker's scan of it) would only add to the wait.
int main() { _exit(corvel::compute::programBuilderMain()); }
