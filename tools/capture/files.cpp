#include "tools/capture/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <random>

namespace capture {

TempFile::~TempFile() {
    Remove();
}

bool TempFile::Create(const std::string& folder, const std::string& name, std::string* error) {
    Remove();
    std::random_device seed;
    for (int tries = 0; tries < 100; ++tries) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(seed()));
        std::string candidate = folder;
        candidate += "/.";
        candidate += name;
        candidate += ".part-";
        candidate += suffix;
        const int fd =
            open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Ours from its first moment: a capture sweeping leftovers skips a locked part.
            flock(fd, LOCK_EX);
            m_Path = candidate;
            m_nFd = fd;
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    *error = "cannot write in " + folder + ": " + std::strerror(errno);
    return false;
}

void TempFile::Let() {
    if (m_nFd >= 0) {
        close(m_nFd);  // the lock goes with it
        m_nFd = -1;
    }
    m_Path.clear();
}

bool TempFile::LinkAs(const std::string& final, std::string* error) {
    if (link(m_Path.c_str(), final.c_str()) != 0) {
        *error = errno == EEXIST ? final + " exists; not replacing it"
                                 : "cannot name " + final + ": " + std::strerror(errno);
        return false;
    }
    unlink(m_Path.c_str());
    Let();
    return true;
}

bool TempFile::RenameOver(const std::string& final, std::string* error) {
    if (rename(m_Path.c_str(), final.c_str()) != 0) {
        *error = "cannot write " + final + ": " + std::strerror(errno);
        return false;
    }
    Let();
    return true;
}

void TempFile::Remove() {
    if (!m_Path.empty()) {
        unlink(m_Path.c_str());
    }
    Let();
}

bool SyncFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool SyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

int RemoveStaleParts(const std::string& folder, const std::string& stem) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    int removed = 0;
    for (dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
        const std::string name = e->d_name;
        bool ours = false;
        for (const char* kind : {".mkv", ".framemd5", ".timecode.csv", ".json", ".qc.csv",
                                 ".qc.csv.gz", ".poster.jpg"}) {
            const std::string prefix = "." + stem + kind + ".part-";
            ours = ours || name.compare(0, prefix.size(), prefix) == 0;
        }
        if (!ours) {
            continue;
        }
        std::string path = folder;
        path += '/';
        path += name;
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        // A part nobody holds, or a link in a part's name: neither is any capture's file.
        const bool stale = fd < 0 ? errno == ELOOP : flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (stale && unlink(path.c_str()) == 0) {
            ++removed;
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    closedir(dir);
    return removed;
}

std::string FirstExisting(std::initializer_list<std::string> paths) {
    for (const std::string& p : paths) {
        struct stat st {};
        if (lstat(p.c_str(), &st) == 0) {
            return p;
        }
    }
    return "";
}

}  // namespace capture
