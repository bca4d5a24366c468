// Preloaded into Wine by the Windows test rig. A pseudo-terminal has no modem
// lines, so TIOCMGET on it fails, and Wine then cancels a program's wait for
// arriving bytes on the COM port mapped to it. Here TIOCMGET on a
// pseudo-terminal reports the lines of a cable with both ends up; every other
// call goes through unchanged.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// Linux numbers the slaves of /dev/ptmx with these majors.
static int isPseudoTerminal(int fd)
{
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136
            && major(status.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...)
{
    static int (*next)(int, unsigned long, ...);
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (request == TIOCMGET && isPseudoTerminal(fd)) {
        *(int *)argument = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        return 0;
    }
    if (!next)
        next = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, argument);
}
