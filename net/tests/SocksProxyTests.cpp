// The SOCKS client against independent proxies started by the test on loopback: Dante (SOCKS 4
// and 5, with a block rule), microsocks (SOCKS 5, with and without user code and password) and
// OpenSSH's dynamic forwarding (SOCKS 4, 4A and 5) through a private sshd. Data passes both
// ways through an echo target; real refusals give their codes.

#include "ProxyProcess.h"
#include "SocksTestSupport.h"

namespace {

class SocksProxyTest : public TEventSocketFixture {
protected:
    void SetUp() override {
        ASSERT_FALSE(Folder.Path().empty());
        RecordSocks(*Socket, Log, Received);
    }

    // Connects through the proxy on ProxyPort to TargetPort; true once connected or ended.
    bool Through(USHORT proxyPort, const std::string& level, USHORT targetPort, const std::string& target = "127.0.0.1") {
        Log.clear();
        Received.clear();
        ConnectThrough(*Socket, proxyPort, level, target, targetPort);
        return PumpUntil([&] { return Socket->State() == wsClosed || Logged("connected 0"); }, 10000);
    }
    // Data both ways through the connection, then its end.
    void ExpectEcho() {
        ASSERT_TRUE(Logged("connected 0")) << Describe();
        EXPECT_EQ(Socket->SendText("ping through the proxy"), 22);
        EXPECT_TRUE(PumpUntil([&] { return Received == "ping through the proxy"; }, 10000)) << Received;
        Socket->Disconnect();
        EXPECT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    }
    // The negotiation ended with Code: error, connected and closed with it.
    void ExpectRefusal(int code) {
        ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }, 10000));
        const std::string text = IntToStr(code);
        ASSERT_GE(Log.size(), 3u) << Describe();
        EXPECT_EQ(Log[Log.size() - 3].rfind("sockserror " + text + " ", 0), 0u) << Describe();
        EXPECT_EQ(Log[Log.size() - 2], "connected " + text);
        EXPECT_EQ(Log.back(), "closed " + text);
    }
    bool Logged(const std::string& entry) const { return std::find(Log.begin(), Log.end(), entry) != Log.end(); }
    std::string Describe() const {
        std::string all;
        for (const std::string& entry : Log) all += entry + "; ";
        return all;
    }

    TPrivateFolder Folder;
    TEchoTarget Target;
    TProxyProcess Proxy;  // stopped before the target ends
    TProxyProcess Tunnel;
};

TEST_F(SocksProxyTest, DanteConnectsSocks4And5AndRefusesByItsRules) {
    if (!Executable("/usr/sbin/danted")) GTEST_SKIP() << "danted (dante-server) is not installed; scripts/setup installs it";
    const USHORT port = FreePort();
    const USHORT blocked = FreePort();
    Folder.Write("danted.conf", "logoutput: " + Folder.File("danted.log") +
                                    "\n"
                                    "internal: 127.0.0.1 port = " + IntToStr(port) +
                                    "\n"
                                    "external: 127.0.0.1\n"
                                    "clientmethod: none\n"
                                    "socksmethod: none\n"
                                    "user.privileged: root\n"
                                    "user.unprivileged: nobody\n"
                                    "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                    "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 port = " + IntToStr(blocked) +
                                    " }\n"
                                    "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 protocol: tcp }\n");
    ASSERT_TRUE(Proxy.Start({"/usr/sbin/danted", "-f", Folder.File("danted.conf"), "-p", Folder.File("danted.pid")},
                            Folder.File("danted.out"), port))
        << Folder.Read("danted.out") << Folder.Read("danted.log");
    const USHORT nobody = FreePort();
    for (const char* level : {"5", "4"}) {
        SCOPED_TRACE(level);
        ASSERT_TRUE(Through(port, level, Target.Port()));
        ExpectEcho();
        // SOCKS 5 names the rule and the refusal apart; SOCKS 4 has one code for both.
        const bool socks5 = level[0] == '5';
        Through(port, level, blocked);
        ExpectRefusal(socks5 ? 20005 : 20016);
        Through(port, level, nobody);
        ExpectRefusal(socks5 ? 20008 : 20016);
    }
    // Dante offers no user code method here: the offer is refused.
    Socket->SocksAuthentication = socksAuthenticateUsercode;
    Socket->SocksUsercode = "user";
    Socket->SocksPassword = "word";
    Through(port, "5", Target.Port());
    ExpectRefusal(20003);
}

TEST_F(SocksProxyTest, MicrosocksWithAndWithoutUserCodeAndPassword) {
    if (!Executable("/usr/bin/microsocks")) GTEST_SKIP() << "microsocks is not installed; scripts/setup installs it";
    const USHORT open = FreePort();
    ASSERT_TRUE(Proxy.Start({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", IntToStr(open)}, Folder.File("open.out"), open))
        << Folder.Read("open.out");
    ASSERT_TRUE(Through(open, "5", Target.Port()));
    EXPECT_EQ(Log.front(), "socksconnected 0");
    ExpectEcho();
    Through(open, "5", FreePort());
    ExpectRefusal(20008);

    const USHORT guarded = FreePort();
    ASSERT_TRUE(Tunnel.Start({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", IntToStr(guarded), "-u", "bob", "-P", "pw"},
                             Folder.File("guarded.out"), guarded))
        << Folder.Read("guarded.out");
    Socket->SocksAuthentication = socksAuthenticateUsercode;
    Socket->SocksUsercode = "bob";
    Socket->SocksPassword = "pw";
    ASSERT_TRUE(Through(guarded, "5", Target.Port()));
    EXPECT_EQ(Log, (Strings{"socksconnected 0", "auth 0", "auth 1", "connected 0", "data 0"}));
    ExpectEcho();
    Socket->SocksPassword = "wrong";
    Through(guarded, "5", Target.Port());
    ExpectRefusal(20015);
    // Without an offer of user code the proxy accepts no method.
    Socket->SocksAuthentication = socksNoAuthentication;
    Through(guarded, "5", Target.Port());
    ExpectRefusal(20003);
}

TEST_F(SocksProxyTest, SshDynamicForwardingSpeaksSocks4_4AAnd5) {
    for (const char* program : {"/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen"})
        if (!Executable(program)) GTEST_SKIP() << program << " is not installed (openssh-server, openssh-client)";
    // sshd insists on its privilege separation folder, which the service creates at its start.
    if (!std::filesystem::is_directory("/run/sshd"))
        GTEST_SKIP() << "/run/sshd is missing (sshd's privilege separation folder; `install -d -m 0755 /run/sshd`)";
    const std::string log = Folder.File("ssh.out");
    for (const char* key : {"host_key", "user_key"})
        ASSERT_EQ(RunProgram({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", Folder.File(key)}, log), 0)
            << Folder.Read("ssh.out");
    std::filesystem::copy_file(Folder.File("user_key.pub"), Folder.File("authorized_keys"));
    const USHORT sshPort = FreePort();
    Folder.Write("sshd_config", "Port " + IntToStr(sshPort) +
                                    "\n"
                                    "ListenAddress 127.0.0.1\n"
                                    "HostKey " + Folder.File("host_key") +
                                    "\n"
                                    "PidFile " + Folder.File("sshd.pid") +
                                    "\n"
                                    "AuthorizedKeysFile " + Folder.File("authorized_keys") +
                                    "\n"
                                    "PasswordAuthentication no\n"
                                    "KbdInteractiveAuthentication no\n"
                                    "UsePAM no\n"
                                    "StrictModes no\n"
                                    "PermitRootLogin prohibit-password\n"
                                    "AllowTcpForwarding yes\n");
    ASSERT_TRUE(Proxy.Start({"/usr/sbin/sshd", "-D", "-e", "-f", Folder.File("sshd_config")}, Folder.File("sshd.out"),
                            sshPort))
        << Folder.Read("sshd.out");
    const USHORT socksPort = FreePort();
    ASSERT_TRUE(Tunnel.Start({"/usr/bin/ssh", "-F", "/dev/null", "-N", "-D", "127.0.0.1:" + IntToStr(socksPort), "-p",
                              IntToStr(sshPort), "-i", Folder.File("user_key"), "-o", "IdentitiesOnly=yes", "-o",
                              "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=" + Folder.File("known_hosts"), "-o",
                              "BatchMode=yes", "-o", "ExitOnForwardFailure=yes", "root@127.0.0.1"},
                             log, socksPort))
        << Folder.Read("ssh.out") << Folder.Read("sshd.out");
    const struct {
        const char* Level;
        const char* Host;
    } cases[] = {{"5", "127.0.0.1"}, {"5", "localhost"}, {"4", "127.0.0.1"}, {"4A", "localhost"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Level) + " " + c.Host);
        ASSERT_TRUE(Through(socksPort, c.Level, Target.Port(), c.Host));
        ExpectEcho();
    }
    // The forwarding cannot reach a port without a listener: the proxy ends the connection
    // without a reply, which is a close during the negotiation.
    Through(socksPort, "5", FreePort());
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }, 10000));
    EXPECT_EQ(Log, (Strings{"socksconnected 0", "closed 0"}));
}

}  // namespace
