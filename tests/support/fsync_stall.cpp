// A slow or failing disk for a program under test, preloaded (LD_PRELOAD) so that its own
// code keeps no test hooks. While the file named by FSYNC_STALL_CONTROL exists, fsync and
// fdatasync wait, as on a disk that takes its time; when that file says "fail-folder", an
// fsync of a folder fails with EIO at once instead, and "fail-file TEXT" fails one of a file
// whose path holds TEXT.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// 0 to go on to the real call, or -1 with errno set.
int Gate(int fd) {
    const char* path = std::getenv("FSYNC_STALL_CONTROL");
    for (;;) {
        const int control = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1;
        if (control < 0) {
            return 0;
        }
        char text[256] = {};
        const ssize_t n = read(control, text, sizeof text - 1);
        close(control);
        struct stat st {};
        if (n > 0 && std::strncmp(text, "fail-folder", 11) == 0) {
            const bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
            errno = folder ? EIO : errno;
            return folder ? -1 : 0;
        }
        if (n > 10 && std::strncmp(text, "fail-file ", 10) == 0) {
            char link[64];
            char path[4096] = {};
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            const ssize_t got = readlink(link, path, sizeof path - 1);
            text[std::strcspn(text, "\n")] = '\0';
            const bool match = got > 0 && std::strstr(path, text + 10) != nullptr;
            errno = match ? EIO : errno;
            return match ? -1 : 0;
        }
        usleep(10000);
    }
}

int Call(const char* name, int fd) {
    if (Gate(fd) != 0) {
        return -1;
    }
    const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, name));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd);
}

}  // namespace

extern "C" int fsync(int fd) {
    return Call("fsync", fd);
}

extern "C" int fdatasync(int fd) {
    return Call("fdatasync", fd);
}
