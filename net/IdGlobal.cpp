#include "net/IdGlobal.h"

#include <ctime>

std::string FetchToken(std::string& AInput, std::string_view ADelim, bool ADelete)
{
    const std::size_t pos = ADelim.empty() ? std::string::npos : AInput.find(ADelim);
    if (pos == std::string::npos) {
        std::string all = AInput;
        if (ADelete)
            AInput.clear();
        return all;
    }
    std::string token = AInput.substr(0, pos);
    if (ADelete)
        AInput.erase(0, pos + ADelim.size());
    return token;
}

uint32_t GetTickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

int32_t GetTickDiff(uint32_t AOld, uint32_t ANew)
{
    return static_cast<int32_t>(ANew - AOld);
}
