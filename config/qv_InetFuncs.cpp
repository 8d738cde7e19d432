#include "config/qv_InetFuncs.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <langinfo.h>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace trabix {

namespace {

std::string IntegerText(std::int64_t Value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, Value);
    return std::string(buffer, result.ptr);
}

// Fixed-point text with Decimals digits after a ".", rounded to nearest as printf rounds.
std::string FixedText(double Value, int Decimals)
{
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed, Decimals);
    return std::string(buffer, result.ptr);
}

char UnitLetter(int Scale)
{
    static const char letters[] = "BkMGTP";
    return Scale < 6 ? letters[Scale] : 'X';
}

TBrowserLauncher& Launcher()
{
    static TBrowserLauncher launcher;
    return launcher;
}

// The outcome of a started opener, shared with the thread that reaps it; that thread may
// outlive the caller when the opener keeps running.
struct TOpenerWait {
    std::mutex Mutex;
    std::condition_variable Ended;
    bool Done = false;
    int Status = 0;
};

}  // namespace

std::string FormatByteSize(std::int32_t Width, std::int64_t Value,
                           std::string_view DecimalSeparator)
{
    if (Width < 1)
        Width = 1;
    std::string text = IntegerText(Value);
    double scaled = static_cast<double>(Value);
    int scale = 0;
    while (static_cast<std::size_t>(Width) < text.size()) {
        scaled /= 1024;
        text = IntegerText(static_cast<std::int64_t>(std::trunc(scaled)));
        ++scale;
    }
    int width = Width;
    int decimals = 0;
    if (scale > 0) {
        width = static_cast<int>(text.size());
        decimals = Width - width - 1;
        if (decimals < 1) {
            width = Width;
            decimals = 0;
        }
    }
    std::string number = FixedText(scaled, decimals);
    // The padding counts the separator as one character, whatever its length in bytes.
    const auto length = static_cast<int>(number.size());
    if (const auto point = number.find('.'); point != std::string::npos)
        number.replace(point, 1, DecimalSeparator);
    if (length < width)
        number.insert(0, static_cast<std::size_t>(width - length), ' ');
    return number + UnitLetter(scale);
}

std::string FormatByteSize(std::int32_t Width, std::int64_t Value)
{
    const char* separator = nl_langinfo(RADIXCHAR);
    return FormatByteSize(Width, Value, (separator && *separator) ? separator : ".");
}

bool RunUrlOpener(const std::string& Program, const std::string& URL, int WaitMs)
{
    std::string program = Program;
    std::string url = URL;
    char* argv[] = {program.data(), url.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return false;
    auto wait = std::make_shared<TOpenerWait>();
    std::thread([pid, wait] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        std::lock_guard<std::mutex> guard(wait->Mutex);
        wait->Status = status;
        wait->Done = true;
        wait->Ended.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(wait->Mutex);
    if (!wait->Ended.wait_for(lock, std::chrono::milliseconds(WaitMs), [&] { return wait->Done; }))
        return true;  // still running: it has become the browser, or waits for one
    return WIFEXITED(wait->Status) && WEXITSTATUS(wait->Status) == 0;
}

bool OpenInDefaultBrowser(const std::string& URL)
{
    if (Launcher())
        return Launcher()(URL);
    return RunUrlOpener("xdg-open", URL, 3000);
}

void SetBrowserLauncher(TBrowserLauncher NewLauncher)
{
    Launcher() = std::move(NewLauncher);
}

}  // namespace trabix
