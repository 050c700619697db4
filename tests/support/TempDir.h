#pragma once

#include <string>

namespace p11bridge::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the
// owner goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole file, empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace p11bridge::test
