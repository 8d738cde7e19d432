// Feeds arbitrary reads to the header extractors: a header found is a prefix of the read that
// ends with the first CR LF CR LF's first line break, and the found flag agrees with the text.
#include "engine/texts/HttpHeaders.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

void CheckHeader(std::string_view in, const std::string& header, bool found)
{
    Check(found == !header.empty());
    if (!found)
        return;
    const std::size_t end = in.find("\r\n\r\n");
    Check(end != std::string_view::npos);
    Check(header.size() == end + 2);
    Check(in.substr(0, header.size()) == header);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    bool found = false;
    const std::string request = ExtractRequestHeader(in, &found);
    CheckHeader(in, request, found);
    if (found) {
        const std::string_view method = in.substr(0, in.find(' '));
        Check(method == "GET" || method == "HEAD" || method == "POST" || method == "PUT" ||
              method == "OPTIONS" || method == "TRACE");
        const std::size_t tag = in.find("HTTP/1.");
        Check(tag == std::string_view::npos || tag < in.find("\r\n"));
    }
    const std::string response = ExtractResponseHeader(in, &found);
    CheckHeader(in, response, found);
    if (found)
        Check(in.rfind("HTTP/1.0 ", 0) == 0 || in.rfind("HTTP/1.1 ", 0) == 0);
    Check(request.empty() || response.empty());
    return 0;
}
