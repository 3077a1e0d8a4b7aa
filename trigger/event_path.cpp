#include "event_path.h"

#include "event_name.h"

#include <sys/stat.h>

const char* event_directory()
{
    struct stat shm {};
    return stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm/" : "/tmp/";
}

event_path event_path_of(const char* name)
{
    return event_path_in(event_directory(), name);
}

event_path event_path_in(const char* directory, const char* name)
{
    event_path path{};
    unsigned length = 0;
    for (const char* c = directory; *c != '\0'; ++c)
        path.text[length++] = *c;
    for (const char* c = name; *c != '\0' && length + 1 < sizeof path.text; ++c)
        path.text[length++] = *c;
    return path;
}

descriptor_path path_of_descriptor(int fd)
{
    descriptor_path path{};
    unsigned length = 0;
    for (const char* c = "/proc/self/fd/"; *c != '\0'; ++c)
        path.text[length++] = *c;
    append_decimal(path.text, length, static_cast<uint32_t>(fd));
    return path;
}
