// Windows builds main's ANSI arguments from the command line as typed
// (UTF-16) by best-fit mapping, which turns look-alikes into other
// characters, and so a mistyped argument into another line. wmain gets the
// text itself.
#include "ascii_argument.h"
#include "trigger.h"

int wmain(int argc, wchar_t* argv[])
{
    // The command reads its first argument alone.
    const char* const arguments[] = {"bellTap", argc > 1 ? ascii_prefix_in_place(argv[1]) : nullptr, nullptr};
    return run_trigger(argc, arguments);
}
