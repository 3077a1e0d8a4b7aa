#include "trigger.h"

int main(int argc, char* argv[])
{
    return run_trigger(argc, argv);
}
