// A channel with TLS on either leg, between OpenSSL ends on loopback: what crosses verifies,
// arrives whole both ways and is plain text to the channel's stages; the failures say why in
// one line.
#include "MappingFixture.h"
#include "support/Backend.h"
#include "support/Files.h"
#include "support/LoopbackMapping.h"
#include "tls/TlsKit.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace enginetest {
namespace {

class TlsRelayTest : public MappingTest {
protected:
    // Starts the channel in front of ATargetPort with ASettings; the local authority lives in
    // the test's settings folder.
    void StartTls(int ATargetPort, TTlsSettings ASettings)
    {
        ASSERT_EQ(Map.SetTls(ASettings, Settings.Path()), "");
        Map.Logging = true;
        StartMapping(ATargetPort);
    }
    std::string ChannelCa() const { return Settings / TTlsAuthority::kCertificateFile; }
    TTlsExchange Through(const TTlsClientOptions& AOptions, const std::string& APayload)
    {
        TTlsExchange got;
        RunServing([&] { got = TlsExchange(ListenPort(), AOptions, APayload); });
        return got;
    }
    std::string Plain(const std::string& APayload)
    {
        std::string got;
        RunServing([&] { got = Exchange(ListenPort(), APayload); });
        return got;
    }
    // The records of the channel's connections, oldest first.
    std::vector<TConnectionSnapshot> Records()
    {
        std::vector<TConnectionSnapshot> records = Map.ConnectionSnapshot();
        std::sort(records.begin(), records.end(),
                  [](const auto& a, const auto& b) { return a.Id < b.Id; });
        return records;
    }
    bool Logged(const std::string& APart)
    {
        return WaitUntil([&] {
            for (const std::string& line : Log.Lines())
                if (line.find(APart) != std::string::npos)
                    return true;
            return false;
        });
    }

    TTempDir Settings;
    TTargetPki Target;
};

TEST_F(TlsRelayTest, BothLegsCarryPlainTextBetweenVerifiedHandshakesBySniAndByAddress)
{
    TTlsServer server({.CertFile = Target.Cert("backend.test"), .KeyFile = Target.Key("backend.test")});
    StartTls(server.Port(), {.Client = true, .Target = true, .CaFile = Target.CaFile()});
    Map.LogDataMode = 1;
    Map.LogConnInfo = true;
    const std::string hello = "GET / HTTP/1.1\r\nHost: backend.test\r\n\r\n";
    TTlsExchange got = Through({.Sni = "backend.test", .CaFile = ChannelCa()}, hello);
    ASSERT_TRUE(got.Handshake) << got.Error;
    EXPECT_EQ(got.Answer, Transformed(hello));
    EXPECT_EQ(server.LastSni(), "backend.test");  // the client's name went on to the target
    EXPECT_TRUE(Logged("Host: backend.test"));  // the data dump shows the plain text
    EXPECT_EQ(Log.LengthSum(" DATA (Client -> Server):"), static_cast<std::int64_t>(hello.size()));

    // No server name: the leaf is issued for the address dialled, and the target is checked
    // by the Map IP.
    TTlsServer byAddress({.CertFile = Target.Cert("127.0.0.1"), .KeyFile = Target.Key("127.0.0.1")});
    Map.SetActive(false);
    Map.SetMappedPort(byAddress.Port());
    Map.SetActive(true);
    const std::string big = RandomBytes(3 << 20, 7);
    got = Through({.CaFile = ChannelCa(), .VerifyIp = "127.0.0.1"}, big);
    ASSERT_TRUE(got.Handshake) << got.Error;
    EXPECT_EQ(Digest(got.Answer), Digest(Transformed(big)));
}

TEST_F(TlsRelayTest, AlpnAndVersionsNegotiateAsOnADirectConnection)
{
    TTlsServer server({.CertFile = Target.Cert("backend.test"),
                       .KeyFile = Target.Key("backend.test"),
                       .Alpn = "h2,http/1.1"});
    StartTls(server.Port(), {.Client = true, .Target = true, .CaFile = Target.CaFile()});
    for (const std::string offer : {"h2,http/1.1", "http/1.1", ""}) {
        TTlsExchange direct;
        RunServing([&] {
            direct = TlsExchange(server.Port(), {.Sni = "backend.test", .CaFile = Target.CaFile(), .Alpn = offer}, "x");
        });
        const TTlsExchange relayed = Through({.Sni = "backend.test", .CaFile = ChannelCa(), .Alpn = offer}, "x");
        ASSERT_TRUE(relayed.Handshake) << relayed.Error;
        EXPECT_EQ(relayed.Alpn, direct.Alpn) << "offer " << offer;
        EXPECT_EQ(relayed.Answer, Transformed("x"));
    }
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        const TTlsExchange got =
            Through({.Sni = "backend.test", .CaFile = ChannelCa(), .MaxVersion = version}, "v");
        ASSERT_TRUE(got.Handshake) << got.Error;
        EXPECT_EQ(got.Version, version == TLS1_2_VERSION ? "TLSv1.2" : "TLSv1.3");
        EXPECT_EQ(got.Answer, Transformed("v"));
    }
}

TEST_F(TlsRelayTest, OriginateOnlyAndTerminateOnlyRelayWholeBothWays)
{
    TTlsServer server({.CertFile = Target.Cert("backend.test"), .KeyFile = Target.Key("backend.test"), .MaxVersion = TLS1_2_VERSION});
    StartTls(server.Port(), {.Target = true, .ServerName = "backend.test", .CaFile = Target.CaFile()});
    for (const std::size_t size : {std::size_t{1}, std::size_t{4} << 20}) {
        const std::string payload = RandomBytes(size, size);
        EXPECT_EQ(Digest(Plain(payload)), Digest(Transformed(payload))) << size;
    }
    EXPECT_EQ(server.LastVersion(), "TLSv1.2");

    TBackend plainTarget;
    Map.SetActive(false);
    ASSERT_EQ(Map.SetTls({.Client = true}, Settings.Path()), "");
    Map.SetMappedPort(plainTarget.Port());
    Map.SetActive(true);
    for (const std::size_t size : {std::size_t{1}, std::size_t{4} << 20}) {
        const std::string payload = RandomBytes(size, size + 1);
        const TTlsExchange got = Through({.Sni = "plain.test", .CaFile = ChannelCa()}, payload);
        ASSERT_TRUE(got.Handshake) << got.Error;
        EXPECT_EQ(Digest(got.Answer), Digest(Transformed(payload))) << size;
    }
}

TEST_F(TlsRelayTest, TargetForAnotherNameIsRefusedWithTheReasonUnlessVerificationIsOff)
{
    TTlsServer server({.CertFile = Target.Cert("other.test"), .KeyFile = Target.Key("other.test")});
    StartTls(server.Port(), {.Target = true, .ServerName = "backend.test", .CaFile = Target.CaFile()});
    EXPECT_EQ(Plain("secret"), "");  // nothing reaches the client, and the connection ends
    EXPECT_TRUE(Logged("certificate verify failed: hostname mismatch"));
    ASSERT_TRUE(WaitForDisconnects(1));
    // The Connections tab's state of the refused connection says why, and no leg opened.
    const std::vector<TConnectionSnapshot> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(ConnectionStateText(records[0]),
              "error: TLS handshake with the target backend.test failed: certificate verify "
              "failed: hostname mismatch");
    EXPECT_EQ(records[0].TlsTarget, "");

    ASSERT_EQ(Map.SetTls({.Target = true, .ServerName = "backend.test", .Verify = false}, Settings.Path()), "");
    EXPECT_EQ(Plain("secret"), Transformed("secret"));  // a live setting: the next connection
}

TEST_F(TlsRelayTest, TargetThatWantsAClientCertificateGetsOneOnlyWhenConfigured)
{
    TTlsServer server({.CertFile = Target.Cert("backend.test"), .KeyFile = Target.Key("backend.test"), .RequireClientCert = true});
    StartTls(server.Port(), {.Target = true, .ServerName = "backend.test", .CaFile = Target.CaFile()});
    EXPECT_EQ(Plain("who"), "");
    EXPECT_TRUE(Logged("TLS: TLS with the target failed"));
    ASSERT_EQ(Map.SetTls({.Target = true, .ServerName = "backend.test", .CaFile = Target.CaFile(),
                          .ClientCertFile = Target.Cert("client.test"), .ClientKeyFile = Target.Key("client.test")},
                         Settings.Path()),
              "");
    EXPECT_EQ(Plain("who"), Transformed("who"));
}

TEST_F(TlsRelayTest, TheTargetsRefusalIsToldOnAThreadOfItsOwnToo)
{
    TTlsServer server({.CertFile = Target.Cert("backend.test"), .KeyFile = Target.Key("backend.test"), .RequireClientCert = true});
    StartTls(server.Port(), {.Target = true, .ServerName = "backend.test", .CaFile = Target.CaFile()});
    Map.LogConnInfo = true;  // watched: each connection runs on a peer thread
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(Plain("who"), "");
        ASSERT_TRUE(WaitForDisconnects(i));
    }
    EXPECT_EQ(Map.MovesToPool(), 0);
    const std::vector<std::string> lines = Log.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& ALine) {
                                return ALine.find("TLS: TLS with the target failed") !=
                                    std::string::npos;
                            }),
              3);
}

TEST_F(TlsRelayTest, ClientThatRejectsTheIssuedCertificateIsPassedThroughNextTime)
{
    TTlsServer server({.CertFile = Target.Cert("pinned.test"), .KeyFile = Target.Key("pinned.test")});
    StartTls(server.Port(), {.Client = true, .Target = true, .CaFile = Target.CaFile()});
    // A client that trusts only the target's own authority, as one that pins it.
    const TTlsClientOptions pinned{.Sni = "pinned.test", .CaFile = Target.CaFile()};
    TTlsExchange got = Through(pinned, "a");
    EXPECT_FALSE(got.Handshake);
    EXPECT_TRUE(Logged("the client rejected the certificate for pinned.test"));
    got = Through(pinned, "b");
    ASSERT_TRUE(got.Handshake) << got.Error;  // the target's own certificate, untouched
    EXPECT_EQ(got.Answer, Transformed("b"));
    EXPECT_TRUE(Logged("passes pinned.test through untouched"));
    ASSERT_TRUE(WaitForDisconnects(2));
    const std::vector<TConnectionSnapshot> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].TlsClient, "passed through untouched");
    EXPECT_EQ(records[1].TlsTarget, "passed through untouched");
}

TEST_F(TlsRelayTest, EachLegsNegotiationIsInTheConnectionRecord)
{
    TTlsServer server({.CertFile = Target.Cert("backend.test"),
                       .KeyFile = Target.Key("backend.test"),
                       .Alpn = "h2,http/1.1"});
    StartTls(server.Port(), {.Client = true, .Target = true, .CaFile = Target.CaFile()});
    // The pool carries this connection (nothing watched): the record is the same.
    const TTlsExchange got = Through(
        {.Sni = "backend.test", .CaFile = ChannelCa(), .Alpn = "h2", .MaxVersion = TLS1_2_VERSION},
        "facts");
    ASSERT_TRUE(got.Handshake) << got.Error;
    ASSERT_TRUE(WaitForDisconnects(1));
    std::vector<TConnectionSnapshot> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].TlsClient.rfind("TLSv1.2 ECDHE-ECDSA-", 0), 0u) << records[0].TlsClient;
    EXPECT_NE(records[0].TlsClient.find(" ALPN h2 SNI backend.test"), std::string::npos)
        << records[0].TlsClient;
    EXPECT_EQ(records[0].TlsTarget.rfind("TLSv1.3 TLS_", 0), 0u) << records[0].TlsTarget;
    EXPECT_NE(records[0].TlsTarget.find(" ALPN h2 SNI backend.test"), std::string::npos)
        << records[0].TlsTarget;

    // Terminate only: the target leg has nothing to tell, the client's no ALPN nobody chose.
    TBackend plainTarget;
    Map.SetActive(false);
    ASSERT_EQ(Map.SetTls({.Client = true}, Settings.Path()), "");
    Map.SetMappedPort(plainTarget.Port());
    Map.SetActive(true);
    Map.LogDataMode = 1;  // and a peer thread carries it
    ASSERT_TRUE(Through({.CaFile = ChannelCa(), .VerifyIp = "127.0.0.1"}, "x").Handshake);
    ASSERT_TRUE(WaitForDisconnects(2));
    records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].TlsClient.rfind("TLSv1.3 TLS_", 0), 0u) << records[1].TlsClient;
    EXPECT_EQ(records[1].TlsClient.find("ALPN"), std::string::npos) << records[1].TlsClient;
    EXPECT_EQ(records[1].TlsClient.find("SNI"), std::string::npos) << records[1].TlsClient;
    EXPECT_EQ(records[1].TlsTarget, "");
}

TEST_F(TlsRelayTest, PlainTextClientToATerminatingChannelIsNamedAsSuch)
{
    TBackend plainTarget;
    StartTls(plainTarget.Port(), {.Client = true});
    EXPECT_EQ(Plain("GET / HTTP/1.1\r\n\r\n"), "");
    EXPECT_TRUE(Logged("the client spoke plain text, not TLS"));
    EXPECT_EQ(plainTarget.Received(), "");
}

TEST_F(TlsRelayTest, UnreadableFilesFailTheStartNamingTheFileAndTheAuthorityKeyIsPrivate)
{
    const std::string missing = Settings / "nowhere.pem";
    const std::string problem = Map.SetTls({.Client = true, .CertFile = missing, .KeyFile = missing}, Settings.Path());
    EXPECT_NE(problem.find("TlsCertFile " + missing), std::string::npos) << problem;
    MapOnLoopback(Map, 1);
    EXPECT_THROW(Map.SetActive(true), std::exception);
    EXPECT_FALSE(Map.Active());

    WriteFile(Settings / "junk.pem", "not a certificate\n");
    EXPECT_NE(Map.SetTls({.Target = true, .CaFile = Settings / "junk.pem"}, Settings.Path()).find("TlsCaFile"),
              std::string::npos);

    ASSERT_EQ(Map.SetTls({.Client = true}, Settings.Path()), "");
    struct stat key {};
    ASSERT_EQ(stat((Settings / TTlsAuthority::kKeyFile).c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
    // A second channel of the same folder uses the same authority.
    TqvMappedPortTCP other;
    ASSERT_EQ(other.SetTls({.Client = true}, Settings.Path()), "");
    EXPECT_NE(ReadFile(ChannelCa()).find("BEGIN CERTIFICATE"), std::string::npos);
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

// Runs ACommand and returns what it wrote to its standard output.
std::string Output(const std::string& ACommand)
{
    std::string out;
    FILE* pipe = ::popen(ACommand.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    if (pipe)
        ::pclose(pipe);
    return out;
}

TEST_F(TlsRelayTest, CurlVerifiesTheExportedAuthorityByNameAndByAddress)
{
    // Python's HTTPS server as the target, on a port it chose and printed.
    TTempDir web;
    WriteFile(web / "index.html", "hello through both legs\n");
    const std::string script =
        "import http.server,ssl,sys,functools\n"
        "h=functools.partial(http.server.SimpleHTTPRequestHandler,directory=sys.argv[3])\n"
        "s=http.server.HTTPServer(('127.0.0.1',0),h)\n"
        "c=ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER);c.load_cert_chain(sys.argv[1],sys.argv[2])\n"
        "s.socket=c.wrap_socket(s.socket,server_side=True)\n"
        "print(s.server_address[1],flush=True)\n"
        "for _ in range(2): s.handle_request()\n";
    WriteFile(web / "serve.py", script);
    FILE* server = ::popen(("timeout 60 python3 " + web / "serve.py" + " " +
                            Target.Cert("backend.test") + " " + Target.Key("backend.test") + " " +
                            web.Path())
                               .c_str(),
                           "r");
    ASSERT_NE(server, nullptr);
    int port = 0;
    ASSERT_EQ(std::fscanf(server, "%d", &port), 1);
    // The address case reaches a target whose certificate names backend.test only: the target
    // is not checked here, the channel's own leaves are (by curl).
    StartTls(port, {.Client = true, .Target = true, .Verify = false});
    const std::string url = ":" + std::to_string(ListenPort()) + "/index.html";
    std::string byName, byAddress;
    RunServing([&] {
        byName = Output("curl -sS -m 30 --cacert " + ChannelCa() + " --resolve backend.test:" +
                        std::to_string(ListenPort()) + ":127.0.0.1 https://backend.test" + url);
        byAddress = Output("curl -sS -m 30 --cacert " + ChannelCa() + " https://127.0.0.1" + url);
    });
    EXPECT_EQ(byName, "hello through both legs\n");
    EXPECT_EQ(byAddress, "hello through both legs\n");
    ::pclose(server);
}

// The system's trust store as OpenSSL finds it: the bundle SSL_CERT_FILE names, or a
// certificate under its hash name in the folder SSL_CERT_DIR names.
TEST_F(TlsRelayTest, WithoutACaFileTheTargetIsVerifiedAgainstTheSystemsBundleOrHashedFolder)
{
    struct TEnvironment {
        ~TEnvironment()
        {
            unsetenv("SSL_CERT_FILE");
            unsetenv("SSL_CERT_DIR");
        }
    } restore;
    TTempDir folder;
    TTlsServer server({.CertFile = Target.Cert("backend.test"), .KeyFile = Target.Key("backend.test")});
    setenv("SSL_CERT_FILE", Target.CaFile().c_str(), 1);
    setenv("SSL_CERT_DIR", folder.Path().c_str(), 1);
    StartTls(server.Port(), {.Target = true, .ServerName = "backend.test"});
    EXPECT_EQ(Plain("bundle"), Transformed("bundle"));

    std::unique_ptr<FILE, int (*)(FILE*)> pem(std::fopen(Target.CaFile().c_str(), "r"), &std::fclose);
    ASSERT_TRUE(pem);
    std::unique_ptr<X509, void (*)(X509*)> ca(PEM_read_X509(pem.get(), nullptr, nullptr, nullptr), &X509_free);
    ASSERT_TRUE(ca);
    char hashName[16];
    std::snprintf(hashName, sizeof hashName, "%08lx.0", X509_subject_name_hash(ca.get()));
    std::filesystem::copy_file(Target.CaFile(), folder / hashName);
    setenv("SSL_CERT_FILE", (folder / "no-bundle.pem").c_str(), 1);
    // Another key log file only makes the channel read the store anew.
    ASSERT_EQ(Map.SetTls({.Target = true, .ServerName = "backend.test", .KeyLogFile = folder / "2.keys"},
                         Settings.Path()),
              "");
    EXPECT_EQ(Plain("folder"), Transformed("folder"));

    std::filesystem::remove(folder / hashName);
    ASSERT_EQ(Map.SetTls({.Target = true, .ServerName = "backend.test", .KeyLogFile = folder / "3.keys"},
                         Settings.Path()),
              "");
    EXPECT_EQ(Plain("nobody"), "");  // neither knows the target's authority
    EXPECT_TRUE(Logged("certificate verify failed"));
}

}  // namespace
}  // namespace enginetest
