#include "above_stdio.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

void plug_free_stdio()
{
    // open() takes the lowest free number: placeholders go on until one
    // lands above 2, which is not needed.
    for (int fd; (fd = open("/", O_PATH | O_CLOEXEC)) != -1;) {
        if (fd > 2) {
            close(fd);
            return;
        }
    }
}

int above_stdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int saved_errno = errno;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    // No number above 2 is allowed at all (a limit of 3 or less): EINVAL.
    const int error = errno == EINVAL ? EMFILE : errno;
    close(fd);
    plug_free_stdio();
    errno = moved == -1 ? error : saved_errno;
    return moved;
}

int open_above_stdio(const char* path, int flags)
{
    return above_stdio(open(path, flags | O_CLOEXEC));
}
