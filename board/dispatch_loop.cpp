// The minimal loop of the board's dispatch figures (bench/minimal_loop.h) as
// a program of its own, built like hotplug (board/CMakeLists.txt): against
// the same C library, without the C++ library, every symbol bound at start.
// So on each image hotplug is compared with a loop of its own C library.
// board-dispatch-bench starts it:
//   board-dispatch-loop GROUP     serves uevent group GROUP for good
#include <stdlib.h>

#include "bench/minimal_loop.h"

int main(int argc, char** argv) { dispatch_loop::run_minimal_loop(argc > 1 ? atoi(argv[1]) : 2); }
