#include "core/pid_file.h"

#include <cstdio>
#include <cstring>

bool pid_file_names_running_instance(const std::string& file)
{
    FILE* f = fopen(file.c_str(), "r");
    if (!f)
        return false;
    int pid = 0;
    int n = fscanf(f, "%d", &pid);
    fclose(f);
    if (n != 1 || pid <= 0)
        return false;
    // The kernel's own view of the process: never under the scratch root.
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", pid);
    f = fopen(path, "r");
    if (!f)
        return false;
    char comm[9] = {};
    n = fscanf(f, "%8s", comm);
    fclose(f);
    return n == 1 && strcmp(comm, "linegw") == 0;
}

bool pid_file_write(const std::string& file, int pid)
{
    FILE* f = fopen(file.c_str(), "w");
    if (!f) {
        perror(file.c_str());
        return false;
    }
    fprintf(f, "%d\n", pid);
    fclose(f);
    return true;
}
