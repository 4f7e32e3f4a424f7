// The empty console program that tools/bench runs under Wine for the memory
// that Wine itself takes for a console program that does nothing.
//
//   empty_program READY-LINE GO-FILE
#include "bench_wait.h"

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    return wait_for_go(argv[1], argv[2]) ? 0 : 1;
}
