// Files for the tests: a temporary directory per test, whole-file reads and writes, and a check
// run where file permissions apply.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

namespace testkit {

// A fresh directory, open to every user (so a test run as root can hand it to an unprivileged
// child), removed with everything in it.
class TTempDir {
public:
    TTempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "trabix-test-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        path_ = pattern;
        chmod(path_.c_str(), 0777);
    }
    ~TTempDir()
    {
        chmod(path_.c_str(), 0777);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& Name) const { return path_ + "/" + Name; }
    std::set<std::string> Names() const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.insert(entry.path().filename().string());
        return names;
    }

private:
    std::string path_;
};

inline std::string ReadFile(const std::string& Path)
{
    std::ostringstream out;
    out << std::ifstream(Path, std::ios::binary).rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& Path, const std::string& Content)
{
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Content;
}

// Runs Check where permission bits apply: directly for an ordinary user, and in a child that
// has become "nobody" when the tests run as root (root reads and writes past any mode).
inline bool RunWithoutPrivileges(const std::function<bool()>& Check)
{
    if (geteuid() != 0)
        return Check();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(Check() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace testkit
