#include "app/api/ApiToken.h"

#include "config/pm_config.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Trimmed(const std::string& text)
{
    static constexpr const char* Blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(Blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
}

// 32 random bytes as 64 hex digits.
bool NewToken(std::string& token)
{
    unsigned char bytes[32];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return false;
    static constexpr char Hex[] = "0123456789abcdef";
    token.clear();
    for (unsigned char b : bytes) {
        token += Hex[b >> 4];
        token += Hex[b & 15];
    }
    return true;
}

std::string ErrnoText(const std::string& path)
{
    return path + ": " + std::strerror(errno);
}

bool ReadTokenFile(int fd, const std::string& path, std::string& token, std::string& why)
{
    std::string text;
    char buffer[256];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 4096)
        text.append(buffer, static_cast<size_t>(got));
    if (got < 0) {
        why = ErrnoText(path);
        return false;
    }
    token = Trimmed(text);
    if (token.empty()) {
        why = path + ": holds no token";
        return false;
    }
    return true;
}

bool CreateTokenFile(const std::string& path, std::string& token, std::string& why)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = ErrnoText(path);
        return false;
    }
    std::string made;
    bool ok = NewToken(made);
    const std::string line = made + "\n";
    ok = ok && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        why = ErrnoText(path);
        ::unlink(path.c_str());
        return false;
    }
    token = made;
    return true;
}

}  // namespace

std::string ApiTokenPath()
{
    return trabix::SettingsFolder() + "api-token";
}

bool LoadOrCreateApiToken(const std::string& path, std::string& token, std::string& why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            why = ErrnoText(path);
            return false;
        }
        // Two programs starting on the same folder: the one that loses the race reads the file.
        if (CreateTokenFile(path, token, why))
            return true;
        return errno == EEXIST && LoadOrCreateApiToken(path, token, why);
    }
    const bool read = ReadTokenFile(fd, path, token, why);
    ::close(fd);
    return read;
}

bool SameToken(const std::string& given, const std::string& expected)
{
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}
