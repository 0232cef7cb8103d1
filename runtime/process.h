#pragma once

#include <dirent.h>

// Processes are found by the base name of the program their /proc/<pid>/exe link points to.
long find_process_in_dirent(struct dirent *entry, const char *name);
int process_is_running(const char *name);
void shutdown_process(const char *name);
int count_process(const char *name);
