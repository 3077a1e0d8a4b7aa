#include "demo_host.h"

int main(int argc, char* argv[])
{
    return run_demo_host(argc, argv);
}
