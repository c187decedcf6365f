/* The yardstick for the pass kovex makes before it opens a port: a minimal
 * program that makes the same pass and nothing else. It compares every open
 * descriptor of every process in /proc with the device, then prints the
 * CLOCK_MONOTONIC time at which the pass ended and the holders it found.
 *   holder_pass DEVICE */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    struct stat port, opened;
    DIR *proc = opendir("/proc");
    if (argc != 2 || stat(argv[1], &port) != 0 || proc == NULL)
        return 2;
    int holders = 0;
    for (struct dirent *process; (process = readdir(proc)) != NULL;) {
        char path[300];
        if (process->d_name[0] < '1' || process->d_name[0] > '9' ||
            atoi(process->d_name) == getpid())
            continue;
        snprintf(path, sizeof path, "%s/fd", process->d_name);
        int folder = openat(dirfd(proc), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR *fds = folder < 0 ? NULL : fdopendir(folder);
        if (fds == NULL)
            continue;
        for (struct dirent *fd; (fd = readdir(fds)) != NULL;)
            holders += fd->d_name[0] != '.' && fstatat(folder, fd->d_name, &opened, 0) == 0 &&
                       S_ISCHR(opened.st_mode) && opened.st_rdev == port.st_rdev &&
                       opened.st_dev == port.st_dev;
        closedir(fds);
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("%lld.%09ld %d\n", (long long)now.tv_sec, now.tv_nsec, holders);
    return 0;
}
