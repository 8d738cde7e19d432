// TLS client workloads: new TLS connections per second and request/response over TLS, for a
// relay that terminates TLS from its clients and originates it towards a TLS echo backend.
// Every connection is a full handshake (no tickets, no session reuse), TLS 1.3 with
// TLS_AES_128_GCM_SHA256 only, the peer's certificate taken unverified: the measure is the
// relay's cost, not the client's trust decisions. Each connection waits for the echo of what
// it sent, so a relay has to finish its own handshake with the backend as well before a
// connection counts.
//
// The clients are threads with blocking sockets bounded by I/O timeouts; on this scale (tens
// of connections) that costs every relay under test alike.
#include "Workloads.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace load {
namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kIoTimeoutMs = 5000;

struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// The clients' context; says so on stderr, naming the workload, when there is none.
SslCtxPtr makeClientContext(const char* workload)
{
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        std::fprintf(stderr, "%s: no TLS context\n", workload);
        return ctx;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
    SSL_CTX_set_ciphersuites(ctx.get(), "TLS_AES_128_GCM_SHA256");
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    return ctx;
}

// A blocking TLS connection to the target, handshake done; an empty pointer (and fd
// closed) when any step fails.
SslPtr openTls(SSL_CTX* ctx, const Target& target, Fd& fd)
{
    int err = 0;
    fd = connectWithTimeout(target, kConnectTimeoutMs, err);
    if (!fd)
        return {};
    setNoDelay(fd.get());
    setIoTimeout(fd.get(), kIoTimeoutMs);
    SslPtr ssl(SSL_new(ctx));
    if (!ssl || SSL_set_fd(ssl.get(), fd.get()) != 1 || SSL_connect(ssl.get()) != 1) {
        ERR_clear_error();
        fd.reset();
        return {};
    }
    return ssl;
}

bool writeTls(SSL* ssl, const std::string& data)
{
    size_t written = 0;
    return SSL_write_ex(ssl, data.data(), data.size(), &written) == 1 && written == data.size();
}

bool readTls(SSL* ssl, std::string& buffer, size_t want)
{
    size_t got = 0;
    while (got < want) {
        size_t n = 0;
        if (SSL_read_ex(ssl, buffer.data() + got, want - got, &n) != 1)
            return false;
        got += n;
    }
    return true;
}

struct TlsCount {
    long ok = 0;
    long failed = 0;
    double worstMs = 0;
};

}  // namespace

int runTlsCps(const CpsOptions& o)
{
    SslCtxPtr ctx = makeClientContext("tls-cps");
    if (!ctx)
        return 1;
    std::vector<TlsCount> counts(static_cast<size_t>(o.workers));
    std::vector<std::thread> workers;
    const double start = nowSeconds();
    const double deadline = start + o.seconds;
    for (int w = 0; w < o.workers; ++w) {
        workers.emplace_back([&, w] {
            TlsCount& count = counts[static_cast<size_t>(w)];
            const std::string byte = "b";
            std::string answer(1, '\0');
            while (nowSeconds() < deadline) {
                const double began = nowSeconds();
                Fd fd;
                SslPtr ssl = openTls(ctx.get(), o.target, fd);
                const bool ok = ssl && writeTls(ssl.get(), byte) && readTls(ssl.get(), answer, 1) &&
                    answer == byte;
                ERR_clear_error();
                if (!ok) {
                    ++count.failed;
                    continue;
                }
                ++count.ok;
                count.worstMs = std::max(count.worstMs, (nowSeconds() - began) * 1000);
            }
        });
    }
    for (auto& t : workers)
        t.join();
    const double seconds = nowSeconds() - start;
    TlsCount total;
    for (const auto& c : counts) {
        total.ok += c.ok;
        total.failed += c.failed;
        total.worstMs = std::max(total.worstMs, c.worstMs);
    }
    std::printf("tls-cps workers=%d seconds=%.3f ok=%ld failed=%ld per_sec=%.1f worst_ms=%.2f\n",
                o.workers, seconds, total.ok, total.failed,
                seconds > 0 ? static_cast<double>(total.ok) / seconds : 0.0, total.worstMs);
    std::fflush(stdout);
    return 0;
}

int runTlsDownload(const TputOptions& o)
{
    SslCtxPtr ctx = makeClientContext("tls-tput");
    if (!ctx)
        return 1;
    const uint64_t each = o.bytes / static_cast<uint64_t>(std::max(o.conns, 1));
    std::atomic<uint64_t> arrived{0};
    std::atomic<int> failed{0};
    const double start = nowSeconds();
    const double deadline = start + o.maxSeconds;
    std::vector<std::thread> clients;
    for (int c = 0; c < o.conns; ++c) {
        clients.emplace_back([&] {
            Fd fd;
            SslPtr ssl = openTls(ctx.get(), o.target, fd);
            unsigned char header[8];
            putU64(header, each);
            if (!ssl || !writeTls(ssl.get(), std::string(reinterpret_cast<char*>(header), 8))) {
                ++failed;
                return;
            }
            std::vector<char> buffer(256 * 1024);
            uint64_t got = 0;
            while (got < each && nowSeconds() < deadline) {
                size_t n = 0;
                if (SSL_read_ex(ssl.get(), buffer.data(), buffer.size(), &n) != 1)
                    break;
                got += n;
            }
            if (got < each)
                ++failed;
            arrived += got;
            ERR_clear_error();
        });
    }
    for (auto& t : clients)
        t.join();
    const double seconds = nowSeconds() - start;
    std::printf("tls-tput conns=%d bytes=%llu seconds=%.3f failed=%d mbps=%.1f\n", o.conns,
                static_cast<unsigned long long>(arrived.load()), seconds, failed.load(),
                seconds > 0 ? static_cast<double>(arrived.load()) / seconds / 1e6 : 0.0);
    std::fflush(stdout);
    return failed.load() == 0 ? 0 : 1;
}

int runTlsRequestResponse(const RrOptions& o)
{
    SslCtxPtr ctx = makeClientContext("tls-rr");
    if (!ctx)
        return 1;
    std::string request = "GET key:000000000042";
    request.resize(static_cast<size_t>(std::max(o.size, 3) - 2), ' ');
    request += "\r\n";
    std::string batch;
    for (int i = 0; i < std::max(o.pipeline, 1); ++i)
        batch += request;

    std::atomic<int> opened{0}, failed{0};
    std::atomic<long long> counted{0};
    const double start = nowSeconds();
    const double countFrom = start + o.warmupSeconds;
    const double deadline = countFrom + o.seconds;
    std::vector<std::thread> clients;
    for (int c = 0; c < o.conns; ++c) {
        clients.emplace_back([&] {
            Fd fd;
            SslPtr ssl = openTls(ctx.get(), o.target, fd);
            if (!ssl) {
                ++failed;
                return;
            }
            ++opened;
            std::string answer(batch.size(), '\0');
            long long mine = 0;
            for (double now = nowSeconds(); now < deadline; now = nowSeconds()) {
                if (!writeTls(ssl.get(), batch) || !readTls(ssl.get(), answer, batch.size()) ||
                    answer != batch) {
                    ++failed;
                    break;
                }
                if (now >= countFrom)
                    mine += std::max(o.pipeline, 1);
            }
            counted += mine;
            ERR_clear_error();
        });
    }
    for (auto& t : clients)
        t.join();
    std::printf("tls-rr conns=%d pipeline=%d size=%d seconds=%.3f opened=%d failed=%d "
                "requests=%lld per_sec=%.1f\n",
                o.conns, o.pipeline, o.size, o.seconds, opened.load(), failed.load(),
                counted.load(), o.seconds > 0 ? static_cast<double>(counted.load()) / o.seconds : 0.0);
    std::fflush(stdout);
    return failed.load() == 0 ? 0 : 1;
}

}  // namespace load
