#include "tools/http/token.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

namespace http {

namespace {

// A folder of this user's alone: made 0700 if missing, refused if it is a link, someone
// else's, or open to others.
bool PrivateFolder(std::string* dir, std::string* error) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path = runtime != nullptr && *runtime != '\0'
                                 ? std::string(runtime) + "/tapedeck5500"
                                 : "/tmp/tapedeck5500-" + std::to_string(getuid());
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 077) != 0) {
        *error = path +
                 " is not a folder of this user's alone (mode 0700); not writing the "
                 "token there";
        return false;
    }
    *dir = path;
    return true;
}

}  // namespace

std::string RandomToken() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            break;
        }
    }
    if (got < sizeof bytes) {
        std::random_device rd;  // the kernel's other source, where getrandom is missing
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(rd());
        }
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 0xF];
    }
    return out;
}

bool TokenWellFormed(const std::string& token, std::string* why) {
    if (token.size() < 16) {
        *why = "a token must have at least 16 characters; this one has " +
               std::to_string(token.size());
        return false;
    }
    for (const char c : token) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && std::strchr("-_.~", c) == nullptr) {
            *why = "a token may hold only letters, digits, '-', '_', '.' and '~'";
            return false;
        }
    }
    return true;
}

bool SameToken(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

bool ResolveToken(const TokenSource& source, std::string* token, std::string* warning,
                  std::string* error) {
    const char* env = std::getenv("TAPEDECK_TOKEN");
    std::string from;
    if (!source.file.empty()) {
        std::ifstream in(source.file);
        if (!in || !std::getline(in, *token)) {
            *error = "cannot read the token from " + source.file;
            return false;
        }
        while (!token->empty() && std::isspace(static_cast<unsigned char>(token->back())) != 0) {
            token->pop_back();
        }
        from = source.file;
    } else if (!source.given.empty()) {
        *token = source.given;
        from = "--token";
        *warning =
            "--token shows the token to every user of this machine in the process list; "
            "--token-file FILE or TAPEDECK_TOKEN keep it private";
    } else if (env != nullptr && *env != '\0') {
        *token = env;
        from = "TAPEDECK_TOKEN";
    } else {
        *token = RandomToken();
        return true;
    }
    std::string why;
    if (!TokenWellFormed(*token, &why)) {
        *error = "the token from " + from + " is refused: " + why;
        return false;
    }
    return true;
}

TokenFile::~TokenFile() {
    Remove();
}

bool TokenFile::Write(int port, const std::string& token, std::string* error) {
    std::string dir;
    if (!PrivateFolder(&dir, error)) {
        return false;
    }
    const std::string path = dir + "/serve-" + std::to_string(port) + ".token";
    // Written whole beside it, then renamed over whatever a killed server left.
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());  // mode 0600
    if (fd < 0) {
        *error = "cannot write the token file in " + dir + ": " + std::strerror(errno);
        return false;
    }
    const std::string line = token + "\n";
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    m_Path = path;
    return true;
}

void TokenFile::Remove() {
    if (!m_Path.empty()) {
        unlink(m_Path.c_str());
        m_Path.clear();
    }
}

}  // namespace http
