// A capture's files in their folder: each is written under a hidden temporary name of its own,
// created exclusively (never through a link planted there), and takes its final name only
// when whole and flushed. A temporary file is locked while its writer lives, so that a later
// capture tells the leftovers of one that crashed (nobody holds their lock) from a running
// one's.
#pragma once

#include <initializer_list>
#include <string>

namespace capture {

class TempFile {
  public:
    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // ".NAME.part-XXXXXXXX" in `folder`, new and empty, with the mode the umask gives; false
    // with the reason.
    bool Create(const std::string& folder, const std::string& name, std::string* error);
    const std::string& Path() const { return m_Path; }
    int Fd() const { return m_nFd; }  // open for writing, and holding the lock
    bool Open() const { return m_nFd >= 0; }

    // The file under `final`, never over one that is there, the temporary name gone. False
    // with the reason, and the temporary file kept for Remove.
    bool LinkAs(const std::string& final, std::string* error);
    // The file renamed over `final`, for a file that replaces its earlier self.
    bool RenameOver(const std::string& final, std::string* error);
    // Removes the temporary file (if still there) and lets go of its lock.
    void Remove();

  private:
    void Let();

    std::string m_Path;
    int m_nFd = -1;
};

// Flushes a file (by name), or the folder that holds new names.
bool SyncFile(const std::string& path);
bool SyncFolder(const std::string& folder);

// Removes the temporary files of `stem`'s clip (its .mkv, .framemd5, .timecode.csv, .json and quality figures) that
// no running capture holds; how many there were.
int RemoveStaleParts(const std::string& folder, const std::string& stem);

// The first of the paths that exists (as anything, a link included), or "".
std::string FirstExisting(std::initializer_list<std::string> paths);

}  // namespace capture
