/* The floor of any process: its entry point only ends it (exit_group, 0).
   No C library, no start-up code; x86-64 Linux. */
void _start(void)
{
    __asm__ volatile("mov $231, %eax\n\txor %edi, %edi\n\tsyscall");
}
