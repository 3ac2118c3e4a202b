// The panel server's token: every request carries it, on loopback too, since any local user
// or process can reach a loopback port. Made at random unless fixed, and left for scripts in
// a file only this user can read.
#pragma once

#include <string>

namespace http {

// Where a fixed token comes from, first found first: --token-file, --token, TAPEDECK_TOKEN.
struct TokenSource {
    std::string file;
    std::string given;  // --token: other users can read it in the process list
};

// The token to use, made at random when nothing fixes it; false with the reason when one
// given is unreadable or too weak. `warning` is set for a token given on the command line.
bool ResolveToken(const TokenSource& source, std::string* token, std::string* warning,
                  std::string* error);

// 128 bits from the kernel, as 32 hex digits.
std::string RandomToken();

// At least 16 characters, each a letter, digit, '-', '_', '.' or '~' (safe in a URL and a
// cookie as they are).
bool TokenWellFormed(const std::string& token, std::string* why);

// Compares without an early exit, so the time taken tells nothing about the token.
bool SameToken(const std::string& a, const std::string& b);

// `$XDG_RUNTIME_DIR/tapedeck5500/serve-<port>.token` (without XDG_RUNTIME_DIR,
// /tmp/tapedeck5500-<uid>/), mode 0600 in a folder of mode 0700; removed when this ends.
class TokenFile {
  public:
    TokenFile() = default;
    ~TokenFile();
    TokenFile(const TokenFile&) = delete;
    TokenFile& operator=(const TokenFile&) = delete;

    bool Write(int port, const std::string& token, std::string* error);
    const std::string& Path() const { return m_Path; }
    void Remove();

  private:
    std::string m_Path;
};

}  // namespace http
