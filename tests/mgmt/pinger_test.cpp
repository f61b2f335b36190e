// The reachability test against real kernels: hosts in a namespace of their
// own that answer or ignore echo requests, and a stub DNS server there that
// c-ares is pointed at through the scratch root's resolver file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <thread>

#include "core/main_loop.h"
#include "core/main_thread.h"
#include "mgmt/management_requests.h"
#include "mgmt/pinger.h"
#include "mgmt/var_table.h"
#include "mgmt/var_write.h"
#include "platform/paths.h"
#include "support/file_text.h"
#include "support/log_capture.h"
#include "support/net_namespace.h"

namespace {

constexpr const char* PEER = "10.1.1.2";
constexpr const char* PEER6 = "2001:db8:1::2";

// Answers A queries for "peer.test" with the peer's address, "nodata.test"
// with no records, leaves "slow.test" unanswered and calls every other name
// unknown.
class StubDns {
public:
    explicit StubDns(int socket) : fd(socket), worker([this] { run(); }) {}
    ~StubDns()
    {
        stop = true;
        worker.join();
        close(fd);
    }

private:
    void run()
    {
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            uint8_t q[512];
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 17)
                continue;
            std::string name;
            size_t i = 12;
            while (i < size_t(n) && q[i]) {
                if (!name.empty())
                    name += '.';
                name.append(reinterpret_cast<const char*>(q + i + 1), q[i]);
                i += q[i] + 1u;
            }
            size_t question_end = i + 5;
            if (question_end > size_t(n) || name == "slow.test")
                continue;
            int type = q[i + 1] << 8 | q[i + 2];
            std::vector<uint8_t> a(q, q + question_end);
            a[2] = 0x81;   // answer, recursion desired
            a[3] = 0x80;   // recursion available
            a[6] = a[7] = a[8] = a[9] = a[10] = a[11] = 0;
            if (name == "peer.test" && type == 1) {
                a[7] = 1;
                const uint8_t rr[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 1, 1, 2};
                a.insert(a.end(), rr, rr + sizeof rr);
            } else if (name != "peer.test" && name != "nodata.test") {
                a[3] |= 3;   // no such name
            }
            sendto(fd, a.data(), a.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    int fd;
    std::atomic<bool> stop{false};
    std::thread worker;
};

class PingerTest : public NetNamespacesTest {
protected:
    void SetUp() override
    {
        NetNamespacesTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        char dir[] = "/tmp/pinger-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        platform_set_root(root);
        spill(root + "/etc/resolv.conf", "nameserver 10.1.1.2\noptions timeout:1 attempts:1\n");
        spill(root + "/etc/hosts", "");
        // c-ares reads the hosts file before asking DNS: the scratch one, not the machine's.
        setenv("CARES_HOSTS", (root + "/etc/hosts").c_str(), 1);
        main_pid = getpid();
        ASSERT_EQ(ares_library_init(ARES_LIB_INIT_ALL), ARES_SUCCESS);
        saved_ready = ares_library_ready;
        ares_library_ready = true;
        logs = std::make_unique<LogCapture>(7);
    }

    void TearDown() override
    {
        dns.reset();
        logs.reset();
        if (root.empty())
            return;
        ares_library_ready = saved_ready;
        ares_library_cleanup();
        unsetenv("CARES_HOSTS");
        platform_set_root("");
        std::filesystem::remove_all(root);
    }

    // A UDP socket on port 53 of the peer's namespace, served by a thread.
    void startDns()
    {
        ASSERT_EQ(setns(net.lan, CLONE_NEWNET), 0);
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        inet_pton(AF_INET, PEER, &a.sin_addr);
        int r = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ASSERT_EQ(setns(net.here, CLONE_NEWNET), 0);
        ASSERT_EQ(r, 0) << strerror(errno);
        dns = std::make_unique<StubDns>(fd);
    }

    // Polls as the poller would, faster, until the test ends; the polls made.
    static int finish(Pinger& p, int most = 200)
    {
        int n = 0;
        while (n < most && (p.getState() != Pinger::IDLE || p.statusText() == "working...")) {
            p.poll();
            n++;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return n;
    }

    std::string root;
    bool saved_ready = false;
    std::unique_ptr<LogCapture> logs;
    std::unique_ptr<StubDns> dns;
};

TEST_F(PingerTest, ReachableAddressesAnswerOkAndTheSocketCloses)
{
    for (const char* host : {PEER, PEER6}) {
        SCOPED_TRACE(host);
        Pinger p;
        ASSERT_TRUE(p.resolverReady());
        p.start(host);
        EXPECT_EQ(p.statusText(), "working...");
        EXPECT_EQ(p.getState(), Pinger::PINGING);
        EXPECT_GE(p.getSocket(), 0);
        finish(p);
        EXPECT_EQ(p.statusText(), "OK");
        EXPECT_EQ(p.getSocket(), -1);
    }
}

// The peer ignores echo requests: three go out on the wire, then the test
// gives up at the 51st poll.
TEST_F(PingerTest, SilentHostGetsThreeRequestsThenTimeout)
{
    NetNamespaces::sh(net.lan, "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all && "
                               "echo 1 > /proc/sys/net/ipv6/icmp/echo_ignore_all");
    struct Case {
        const char* host;
        uint16_t ethertype;
        size_t icmp_at;   // offset of the ICMP message in the frame
        uint8_t type;
    };
    for (const Case& c : {Case{PEER, 0x0800, 34, 8}, Case{PEER6, 0x86DD, 54, 128}}) {
        SCOPED_TRACE(c.host);
        int cap = net.capture(net.lan, "eth0p");
        ASSERT_GE(cap, 0);
        Pinger p;
        p.start(c.host);
        for (int i = 0; i < Pinger::POLL_LIMIT; i++) {
            p.poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(p.statusText(), "working...");
        p.poll();
        EXPECT_EQ(p.statusText(), "timeout");
        EXPECT_EQ(p.getState(), Pinger::IDLE);
        EXPECT_EQ(p.getSocket(), -1);

        std::vector<std::vector<uint8_t>> requests;
        for (auto& f : NetNamespaces::frames(cap, c.ethertype, 300))
            if (f.size() > c.icmp_at && f[c.icmp_at] == c.type)
                requests.push_back(f);
        close(cap);
        ASSERT_EQ(requests.size(), 3u);
        for (size_t k = 0; k < requests.size(); k++) {
            const uint8_t* icmp = requests[k].data() + c.icmp_at;
            ASSERT_EQ(requests[k].size(), c.icmp_at + Pinger::REQUEST_SIZE);
            uint16_t id;
            memcpy(&id, icmp + 4, 2);
            EXPECT_EQ(id, uint16_t(getpid()));
            EXPECT_EQ(icmp[6] << 8 | icmp[7], int(k));
            EXPECT_TRUE(std::all_of(icmp + 8, icmp + Pinger::REQUEST_SIZE, [](uint8_t b) { return b == 0; }));
            // ICMPv6 sums a pseudo-header too: both addresses, length, next header.
            uint32_t sum = 0;
            auto add = [&sum](const uint8_t* b, size_t n) {
                for (size_t i = 0; i < n; i += 2)
                    sum += uint32_t(b[i] << 8 | b[i + 1]);
            };
            add(icmp, Pinger::REQUEST_SIZE);
            if (c.ethertype == 0x86DD) {
                add(requests[k].data() + 22, 32);
                sum += Pinger::REQUEST_SIZE + 58;
            }
            while (sum >> 16)
                sum = (sum & 0xFFFF) + (sum >> 16);
            EXPECT_EQ(sum, 0xFFFFu);
        }
    }
}

TEST_F(PingerTest, NamesResolveThroughTheConfiguredServer)
{
    startDns();
    ASSERT_FALSE(HasFatalFailure());
    const std::pair<const char*, const char*> cases[] = {
        {"peer.test", "OK"},
        {"missing.test", "host does not exist"},
        {"nodata.test", "cannot resolve host name: no data returned"},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        Pinger p;
        p.start(name);
        EXPECT_EQ(p.getState(), Pinger::RESOLVING);
        EXPECT_EQ(p.statusText(), "working...");
        finish(p);
        EXPECT_EQ(p.statusText(), text);
        EXPECT_EQ(p.getState(), Pinger::IDLE);
    }
}

// A new test while the old one is still resolving: the cancelled lookup
// leaves the text alone and never starts a ping of its own.
TEST_F(PingerTest, NewStartCancelsALookupInProgress)
{
    startDns();
    ASSERT_FALSE(HasFatalFailure());
    Pinger p;
    p.start("slow.test");
    for (int i = 0; i < 5; i++)
        p.poll();
    p.start("missing.test");
    EXPECT_EQ(p.statusText(), "working...");
    EXPECT_EQ(p.getState(), Pinger::RESOLVING);
    finish(p);
    EXPECT_EQ(p.statusText(), "host does not exist");

    p.start("slow.test");
    p.start(PEER);
    EXPECT_EQ(p.statusText(), "working...");
    finish(p);
    EXPECT_EQ(p.statusText(), "OK");
}

TEST_F(PingerTest, ResolverOutcomesGiveTheirTexts)
{
    const std::pair<int, const char*> cases[] = {
        {ARES_ENODATA, "cannot resolve host name: no data returned"},
        {ARES_ENOTFOUND, "host does not exist"},
        {ARES_ENOTIMP, "address family not implemented"},
        {ARES_EBADNAME, "cannot resolve host name: invalid name"},
        {ARES_ENOMEM, "cannot resolve host name: not enough memory"},
        {ARES_ETIMEOUT, "cannot resolve host name: unknown error"},
        {ARES_SUCCESS, "cannot resolve host name: unknown error"},   // without a hostent
        {ARES_ECANCELLED, "working..."},
        {ARES_EDESTRUCTION, "working..."},
    };
    for (const auto& [status, text] : cases) {
        SCOPED_TRACE(status);
        Pinger p;
        p.start("slow.test");
        p.onResolved(status, nullptr);
        EXPECT_EQ(p.statusText(), text);
        EXPECT_EQ(p.getState(), Pinger::IDLE);
    }
    EXPECT_TRUE(logs->contains("Pinger: cannot resolve host: unknown c-ares error status 12"));
    EXPECT_TRUE(logs->contains("Pinger: cannot resolve host: NULL result"));
}

// Echo replies that are not ours are skipped: another identifier, or an
// echo request rather than a reply.
TEST_F(PingerTest, ForeignIcmpIsNotTakenForAnAnswer)
{
    NetNamespaces::sh(net.lan, "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all");
    Pinger p;
    p.start(PEER);
    p.poll();   // first request; nobody answers it
    ASSERT_EQ(setns(net.lan, CLONE_NEWNET), 0);
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    ASSERT_EQ(setns(net.here, CLONE_NEWNET), 0);
    ASSERT_GE(raw, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    inet_pton(AF_INET, "10.1.1.1", &to.sin_addr);
    auto send_icmp = [&](uint8_t type, uint16_t id) {
        uint8_t m[Pinger::REQUEST_SIZE] = {type};
        memcpy(m + 4, &id, 2);
        uint32_t sum = 0;
        for (int i = 0; i < Pinger::REQUEST_SIZE; i += 2)
            sum += uint32_t(m[i] << 8 | m[i + 1]);
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        m[2] = uint8_t(~sum >> 8);
        m[3] = uint8_t(~sum);
        ASSERT_EQ(sendto(raw, m, sizeof m, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), ssize_t(sizeof m));
    };
    uint16_t ours = uint16_t(getpid());
    send_icmp(0, uint16_t(ours + 1));
    send_icmp(8, ours);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.poll();
    EXPECT_EQ(p.statusText(), "working...");
    send_icmp(0, ours);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.poll();
    EXPECT_EQ(p.statusText(), "OK");
    close(raw);
}

// Library initialisation failed at start-up: no resolver, so polls do
// nothing and a name is refused at once.
TEST_F(PingerTest, WithoutResolverNoTestFinishes)
{
    ares_library_ready = false;
    Pinger p;
    EXPECT_FALSE(p.resolverReady());
    p.start(PEER);
    finish(p, 20);
    EXPECT_EQ(p.statusText(), "working...");
    p.start("peer.test");
    EXPECT_EQ(p.statusText(), "cannot resolve host name: unknown error");
    EXPECT_EQ(p.getState(), Pinger::IDLE);
}

// The management link and the poll run on the poller thread, the web API's
// reads and writes on threads of its own: the variable works from all of them.
TEST_F(PingerTest, VariableServesEveryThread)
{
    var_table_init();
    EXPECT_EQ(poller_write_var(".30.7.1.0", MyVarValue(std::string(PEER)), true), VAR_ERROR);
    EXPECT_EQ(poller_read_var(".30.7.1.0").text, "");

    pinger_create();
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done) {
            pinger_poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::thread> web;
    for (int t = 0; t < 3; t++)
        web.emplace_back([&] {
            for (int i = 0; i < 20; i++) {
                poller_write_var(".30.7.1.0", MyVarValue(std::string(i % 2 ? PEER : "unknown.invalid")), false);
                poller_read_var(".30.7.1.0");
            }
        });
    for (auto& w : web)
        w.join();
    EXPECT_EQ(poller_write_var(".30.7.1.0", MyVarValue(std::string(PEER)), true), VAR_OK);
    EXPECT_EQ(poller_read_var(".30.7.1.0").text, "working...");
    EXPECT_TRUE(NetNamespaces::eventually([] { return pinger_status() == "OK"; }));
    done = true;
    poller.join();
    pinger_delete();
    EXPECT_EQ(pinger_status(), "");
}

}  // namespace
