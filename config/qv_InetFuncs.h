// Byte sizes in a fixed width, and the launch of the default web browser.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace trabix {

// A byte count in Width characters followed by a unit letter (B, k, M, G, T, P, X), scaled by
// 1024 as often as needed, with the characters left over spent on decimals. Rounding may carry
// into one more digit (999.95k shows as "1000.0k"). Width must be at least 1; a smaller one is
// taken as 1 so the scaling always ends. The decimal separator is that of the current C locale
// (LC_NUMERIC). Thread safe.
std::string FormatByteSize(std::int32_t Width, std::int64_t Value);
// The same with a given decimal separator.
std::string FormatByteSize(std::int32_t Width, std::int64_t Value,
                           std::string_view DecimalSeparator);

// Starts a program that opens an address and reports whether that worked.
using TBrowserLauncher = std::function<bool(const std::string& URL)>;

// Opens URL in the user's default browser: runs "xdg-open" with the address as its single
// argument (no shell is involved, so blanks, quotes and semicolons in the address stay in it).
// True when the opener started and ended with exit code 0 within a few seconds, or is still
// running then (it has handed over to a browser that stays in the foreground); false when it
// could not start or failed. Called on the main thread.
bool OpenInDefaultBrowser(const std::string& URL);

// Test seam: replaces the launcher OpenInDefaultBrowser uses; an empty one restores xdg-open.
// Not thread safe: set it while nothing opens an address.
void SetBrowserLauncher(TBrowserLauncher Launcher);

// The launcher behind OpenInDefaultBrowser: runs Program (searched in PATH) with URL as its
// only argument and waits up to WaitMs for it to end.
bool RunUrlOpener(const std::string& Program, const std::string& URL, int WaitMs);

}  // namespace trabix
