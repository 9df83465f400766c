/* Test child: prints the descriptors it was started with, in ascending order. */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return 2;
    int seen[4096] = {0};
    struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        if (entry->d_name[0] == '.')
            continue;
        int fd = atoi(entry->d_name);
        if (fd != dirfd(dir) && fd >= 0 && fd < 4096)
            seen[fd] = 1;
    }
    closedir(dir);
    const char *sep = "";
    for (int fd = 0; fd < 4096; ++fd) {
        if (seen[fd]) {
            printf("%s%d", sep, fd);
            sep = " ";
        }
    }
    printf("\n");
    return 0;
}
