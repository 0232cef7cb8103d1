#include "process.h"

#include <glib.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
constexpr size_t PathBufferSize = 4096;

// Process entries are the numeric directories of /proc; names starting with 0 are none.
bool isProcessEntry(const struct dirent *entry)
{
    return entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
}
}  // namespace

long find_process_in_dirent(struct dirent *entry, const char *name)
{
    char path[PathBufferSize];
    char target[PathBufferSize];

    const int written = std::snprintf(path, sizeof(path), "/proc/%s/exe", entry->d_name);
    if (written < 0 || size_t(written) >= sizeof(path))
        return -1;

    const ssize_t length = readlink(path, target, sizeof(target) - 1);
    if (length < 0)
        return -1;
    target[length] = '\0';

    gchar *base = g_path_get_basename(target);
    const bool same = std::strcmp(base, name) == 0;
    g_free(base);
    if (!same)
        return -1;
    return std::strtol(entry->d_name, nullptr, 10);
}

int process_is_running(const char *name)
{
    DIR *dir = opendir("/proc");
    if (!dir) {
        std::fprintf(stderr, "failed to open /proc/ dir\n");
        return 0;
    }
    while (struct dirent *entry = readdir(dir)) {
        if (!isProcessEntry(entry))
            continue;
        const long pid = find_process_in_dirent(entry, name);
        if (pid > 0) {
            std::printf("process_name: %s, pid: %ld\n", name, pid);
            closedir(dir);
            return 1;
        }
    }
    closedir(dir);
    return 0;
}

void shutdown_process(const char *name)
{
    DIR *dir = opendir("/proc");
    if (!dir) {
        std::fprintf(stderr, "failed to open /proc/ dir\n");
        return;
    }
    const pid_t self = getpid();
    while (struct dirent *entry = readdir(dir)) {
        if (!isProcessEntry(entry))
            continue;
        const long pid = find_process_in_dirent(entry, name);
        if (pid >= 1 && pid != self)
            kill(pid_t(pid), SIGKILL);
    }
    closedir(dir);
}

int count_process(const char *name)
{
    DIR *dir = opendir("/proc");
    if (!dir) {
        g_log(nullptr, G_LOG_LEVEL_WARNING, "failed to open /proc/ :%s\n", g_strerror(errno));
        return 0;
    }
    int count = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (isProcessEntry(entry) && find_process_in_dirent(entry, name) >= 1)
            ++count;
    }
    closedir(dir);
    return count;
}
