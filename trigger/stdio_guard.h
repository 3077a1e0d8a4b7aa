#pragma once

// Keeps every descriptor the event code opens off 0, 1 and 2. In a program
// started with one of them closed, open() would hand out that number, and
// for as long as it stayed there another thread's read of standard input or
// write to standard output would reach the event instead; moving it higher
// after the open leaves that moment open. So while a guard lives, each of
// 0, 1 and 2 that was free holds an inert descriptor (an O_PATH one of "/",
// on which reads and writes fail as on a closed one), and the last guard of
// the process to end closes them again. Guards in several threads, and in
// signal handlers, count together; a guard takes no lock that a signal
// handler could wait on, allocates nothing and leaves errno as it was.
struct stdio_guard {
    stdio_guard();
    ~stdio_guard();
    stdio_guard(const stdio_guard&) = delete;
    stdio_guard& operator=(const stdio_guard&) = delete;
};
