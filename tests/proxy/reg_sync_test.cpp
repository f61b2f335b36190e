// Registration sync: the framing, the library's peer (two location
// databases kept in step) and the agent on its thread, talked to over TCP on
// the loopback interface of a network namespace of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "core/reg_sync.h"
#include "mgmt/var_store.h"
#include "platform/paths.h"
#include "proxy/proxy_tables.h"
#include "proxy/reg_info.h"
#include "proxy/reg_sync_agent.h"
#include "proxy/reg_sync_thread.h"
#include "sip/proxy/reg_sync_peer.h"
#include "sip/proxy/sync_framer.h"
#include "support/log_capture.h"
#include "support/own_net_namespace.h"

namespace {

// Before any thread exists: every socket of this binary lives in a namespace
// of its own, so the fixed ports never meet another test's.
bool own_namespace = geteuid() == 0 && enter_own_net_namespace();

const std::string request3 =
    "<InitialSync>\r\n  <Request>\r\n    <Version>3</Version>\r\n  </Request>\r\n</InitialSync>\r\n";

template <class Fn>
bool eventually(Fn fn, int ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (fn())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fn();
}

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_text(int fd, const std::string& text)
{
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// What arrives until the text holds until (or the time runs out).
std::string receive(int fd, const std::string& until, int ms = 3000)
{
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.find(until) == std::string::npos) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string reply(int code, const char* reason, const std::string& request, const std::string& tag)
{
    size_t at = request.rfind("</" + tag + ">");
    return request.substr(0, at) + "  <Response>\r\n    <Result Code=\"" + std::to_string(code) + "\">" + reason +
           "</Result>\r\n  </Response>\r\n" + request.substr(at, tag.size() + 3);
}

sipproxy::contact_record_t phone(const std::string& uri, int64_t expires, int64_t updated)
{
    sipproxy::contact_record_t c;
    c.contact = sipcore::NameAddr::parse(uri);
    c.reg_expires = expires;
    c.last_updated = updated;
    c.received_from = "UDP:127.0.0.1:5062";
    return c;
}

// ---------------------------------------------------------------- framing

TEST(SyncFramerTest, SplitsTheStreamIntoMessages)
{
    using R = sipproxy::SyncFramer::Result;
    struct step_t {
        std::string input;
        std::vector<std::string> messages;
        size_t left;  // bytes still buffered
    };
    struct {
        const char* what;
        std::vector<step_t> steps;
    } cases[] = {
        {"two in one read", {{"<a>1</a>\r\n<b x='1'>2</b>", {"<a>1</a>", "<b x='1'>2</b>"}, 0}}},
        {"split over reads", {{"\r\n\r\n<reginfo><aor>x</a", {}, 22}, {"or></reginfo>\r\n", {"<reginfo><aor>x</aor></reginfo>"}, 2}}},
        {"stray closing tag first", {{"</a>junk<a>ok</a>", {"<a>ok</a>"}, 0}}},
        {"closing tag only", {{"</a></a>", {}, 8}}},
        {"self-closing and end tags are no start", {{"<x/></y><z>1</z>", {"<z>1</z>"}, 0}}},
        {"nested same name ends at the first closing", {{"<a><a>1</a></a>", {"<a><a>1</a>"}, 4}}},
        {"start tag with text before its name", {{"<<a>1</a>", {"<a>1</a>"}, 0}}},
    };
    for (const auto& c : cases) {
        sipproxy::SyncFramer f;
        for (const auto& s : c.steps) {
            f.append(s.input.data(), s.input.size());
            std::vector<std::string> got;
            std::string tag, msg;
            while (f.next(&tag, &msg) == R::Message)
                got.push_back(msg);
            EXPECT_EQ(got, s.messages) << c.what;
            EXPECT_EQ(f.buffered(), s.left) << c.what;
        }
    }

    sipproxy::SyncFramer f;
    std::string tag, msg;
    std::string garbage(sipproxy::SyncFramer::max_garbage, 'x');
    f.append(garbage.data(), garbage.size());
    EXPECT_EQ(f.next(&tag, &msg), R::NeedMore);
    f.append("x", 1);
    EXPECT_EQ(f.next(&tag, &msg), R::Overflow);
    EXPECT_EQ(f.buffered(), 0u);
    // A message that never ends is bounded too.
    std::string open = "<a>" + std::string(sipproxy::SyncFramer::max_message, 'y');
    f.append(open.data(), open.size());
    EXPECT_EQ(f.next(&tag, &msg), R::Overflow);
    // Many '<' without a '>' are searched in linear time.
    std::string lt(sipproxy::SyncFramer::max_garbage, '<');
    for (size_t i = 0; i < lt.size(); i += 2)
        lt[i + 1] = 'a';
    f.append(lt.data(), lt.size());
    EXPECT_EQ(f.next(&tag, &msg), R::NeedMore);
}

// ------------------------------------------------- the library's two peers

class CountingHandler : public sipproxy::LocationHandler {
public:
    void onContactChanged(const std::string&, const sipproxy::contact_record_t&, bool, bool from_sync) override
    {
        (from_sync ? synced : local)++;
    }
    std::atomic<int> local{0}, synced{0};
};

TEST(RegSyncPeerTest, TwoProxiesExchangeRegistrationsWithoutEcho)
{
    if (!own_namespace)
        GTEST_SKIP() << "needs root for a network namespace";
    sipproxy::LocationDb a_db, b_db;
    int64_t now = a_db.now();
    a_db.updateContact("sip:201@gw", phone("<sip:201@10.0.0.50:5060>", now + 3600, now - 5));

    sipproxy::reg_sync_options_t ao, bo;
    ao.server_port = 0;
    sipproxy::RegSyncPeer a(a_db, ao);
    ASSERT_TRUE(a.start());
    bo.server_port = 0;
    bo.client_port = a.serverPort();
    sipproxy::RegSyncPeer b(b_db, bo);
    ASSERT_TRUE(b.start());
    // The initial sync brings A's registration to B.
    ASSERT_TRUE(eventually([&] { return b_db.getContacts("sip:201@gw").size() == 1; }));
    auto got = b_db.getContacts("sip:201@gw")[0];
    EXPECT_EQ(got.contact.toString(), "<sip:201@10.0.0.50:5060>");
    EXPECT_NEAR(got.reg_expires, now + 3600, 1);  // whole seconds on the wire
    EXPECT_EQ(got.received_from, "UDP:127.0.0.1:5062");
    EXPECT_TRUE(got.sync_contact);

    // A's client to B's server, the other way round.
    CountingHandler a_seen, b_seen;
    a_db.addHandler(&a_seen);
    b_db.addHandler(&b_seen);
    sipproxy::RegSyncPeer a2(a_db, {-1, b.serverPort(), 1000, 30000});
    ASSERT_TRUE(a2.start());
    ASSERT_TRUE(eventually([&] { return a2.clientConnected(); }));
    // A's initial sync from B changed nothing: B's copy is not newer.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(a_seen.synced, 0);

    // A live change at B reaches A once, and A sends nothing back.
    b_db.updateContact("sip:202@gw", phone("<sip:202@10.0.0.51:5060>", now + 60, now));
    ASSERT_TRUE(eventually([&] { return a_db.getContacts("sip:202@gw").size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(a_seen.synced, 1);
    EXPECT_EQ(b_seen.local, 1);
    EXPECT_EQ(b_seen.synced, 0);

    // An older copy does not replace a newer one.
    b_db.updateContact("sip:201@gw", phone("<sip:201@10.0.0.50:5060>", now + 100, now - 100));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_NEAR(a_db.getContacts("sip:201@gw")[0].reg_expires, now + 3600, 1);
    a_db.removeHandler(&a_seen);
    b_db.removeHandler(&b_seen);
}

TEST(RegSyncPeerTest, ARemovalReachesThePeerWhileItLingers)
{
    if (!own_namespace)
        GTEST_SKIP() << "needs root for a network namespace";
    sipproxy::LocationDb a_db, b_db;
    a_db.setLinger(86400);
    int64_t now = a_db.now();
    a_db.updateContact("sip:201@gw", phone("<sip:201@h1>", now + 3600, now - 10));
    a_db.updateContact("sip:201@gw", phone("<sip:201@h2>", now + 3600, now - 10));
    sipproxy::RegSyncPeer a(a_db, {0, -1, 1000, 30000});
    ASSERT_TRUE(a.start());
    sipproxy::RegSyncPeer b(b_db, {-1, a.serverPort(), 1000, 30000});
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(eventually([&] { return b_db.getContacts("sip:201@gw").size() == 2; }));
    a_db.removeContact("sip:201@gw", phone("<sip:201@h1>", 0, now));
    ASSERT_TRUE(eventually([&] { return b_db.getContacts("sip:201@gw").size() == 1; }));
    EXPECT_EQ(b_db.getContacts("sip:201@gw")[0].contact.toString(), "<sip:201@h2>");
    // The removed contact lingers with expiry 0 and is not offered for calls.
    EXPECT_EQ(a_db.getAllContacts("sip:201@gw").size(), 2u);
    EXPECT_EQ(a_db.getContacts("sip:201@gw").size(), 1u);
}

TEST(RegSyncPeerTest, ClientReconnectsWithinTwoSeconds)
{
    if (!own_namespace)
        GTEST_SKIP() << "needs root for a network namespace";
    sipproxy::LocationDb db, peer_db;
    sipproxy::reg_sync_options_t so;
    so.server_port = 0;
    auto server = std::make_unique<sipproxy::RegSyncPeer>(peer_db, so);
    ASSERT_TRUE(server->start());
    int port = server->serverPort();
    sipproxy::RegSyncPeer client(db, {-1, port, 1000, 30000});
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(eventually([&] { return client.clientConnected(); }));
    server.reset();
    ASSERT_TRUE(eventually([&] { return !client.clientConnected(); }));
    auto gone = std::chrono::steady_clock::now();
    so.server_port = port;
    server = std::make_unique<sipproxy::RegSyncPeer>(peer_db, so);
    ASSERT_TRUE(server->start());
    ASSERT_TRUE(eventually([&] { return client.clientConnected(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - gone, std::chrono::seconds(2));
}

TEST(RegSyncPeerTest, ServerListensOnLoopbackOnlyAndAnswersItsRequests)
{
    if (!own_namespace)
        GTEST_SKIP() << "needs root for a network namespace";
    sipproxy::LocationDb db;
    int64_t now = db.now();
    db.updateContact("sip:201@gw", phone("<sip:201@h>", now + 60, now - 1));
    sipproxy::reg_sync_options_t o;
    o.server_port = 0;
    sipproxy::RegSyncPeer peer(db, o);
    ASSERT_TRUE(peer.start());
    int fd = connect_to(peer.serverPort());
    ASSERT_GE(fd, 0);
    send_text(fd, request3);
    std::string record =
        "<reginfo>\r\n  <aor>sip:201@gw</aor>\r\n  <contactinfo>\r\n    <contacturi>&lt;sip:201@h&gt;</contacturi>\r\n"
        "    <expires>60</expires>\r\n    <lastupdate>1</lastupdate>\r\n"
        "    <receivedfrom>UDP:127.0.0.1:5062</receivedfrom>\r\n  </contactinfo>\r\n</reginfo>\r\n";
    EXPECT_EQ(receive(fd, "</InitialSync>"), record + reply(200, "Initial Sync Completed.", request3, "InitialSync"));
    std::string v2 = "<InitialSync><Request><Version>2</Version></Request></InitialSync>";
    send_text(fd, v2);
    EXPECT_EQ(receive(fd, "</InitialSync>"), reply(505, "Version not supported", v2, "InitialSync"));
    close(fd);

    // Bound to 127.0.0.1 alone: another loopback address finds nobody.
    int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(peer.serverPort()));
    a.sin_addr.s_addr = inet_addr("127.0.0.2");
    EXPECT_NE(connect(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(other);
}

// ---------------------------------------------------------------- the agent

time_t test_clock() { return 1700000000; }

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!own_namespace)
            GTEST_SKIP() << "needs root for a network namespace";
        char dir[] = "/tmp/linegw-regsync-XXXXXX";
        root = mkdtemp(dir);
        mkdir((root + "/lib").c_str(), 0755);
        platform_set_root(root);
        standaloneMode = false;
        {
            MutexLock g(varStore.mutex);
            varStore.values.clear();
        }
    }
    void TearDown() override
    {
        stopAgent();
        reg_set_clock(nullptr);
        platform_set_root("");
        if (!root.empty())
            std::system(("rm -rf " + root).c_str());
    }
    void startAgent(int client_port = 9070)
    {
        agent = std::make_unique<RegSyncThread>();
        agent->clientPort = client_port;
        agent->start(9071);
        regSyncThread = agent.get();
        ASSERT_TRUE(eventually([] {
            int fd = connect_to(9071);
            if (fd >= 0)
                close(fd);
            return fd >= 0;
        }));
    }
    void stopAgent()
    {
        if (!agent)
            return;
        regSyncThread = nullptr;
        agent->stop();
        agent.reset();
        regDataBase.clear();
    }
    std::map<std::string, std::string> published()
    {
        MutexLock g(varStore.mutex);
        std::map<std::string, std::string> out;
        for (const auto& [id, v] : varStore.values)
            out[id] = v.text;
        return out;
    }
    std::string root;
    std::unique_ptr<RegSyncThread> agent;
};

TEST_F(AgentTest, AnswersRequestsByteForByte)
{
    startAgent();
    int fd = connect_to(9071);
    ASSERT_GE(fd, 0);
    // Empty database: only the echoed request with code 200, no line end after it.
    send_text(fd, request3);
    EXPECT_EQ(receive(fd, "</InitialSync>"),
              "<InitialSync>\r\n  <Request>\r\n    <Version>3</Version>\r\n  </Request>\r\n  <Response>\r\n"
              "    <Result Code=\"200\">Initial Sync Completed.</Result>\r\n  </Response>\r\n</InitialSync>");
    struct {
        std::string request, tag;
        int code;
        const char* reason;
    } cases[] = {
        {"<InitialSync>\r\n  <Request>\r\n    <Version>2</Version>\r\n  </Request>\r\n</InitialSync>", "InitialSync",
         505, "Version not supported"},
        {"<initialsync><request><version>3</version></request></initialsync>", "initialsync", 200,
         "Initial Sync Completed."},
        {"<InitialSync><Request></Request></InitialSync>", "InitialSync", 505, "Version not supported"},
        {"<Foo>x</Foo>", "Foo", 500, "Not implemented"},
    };
    for (const auto& c : cases) {
        send_text(fd, "\r\n" + c.request + "\r\n");
        EXPECT_EQ(receive(fd, "</" + c.tag + ">"), reply(c.code, c.reason, c.request, c.tag)) << c.request;
    }
    EXPECT_EQ(reply(500, "Not implemented", "<Foo>x</Foo>", "Foo"),
              "<Foo>x  <Response>\r\n    <Result Code=\"500\">Not implemented</Result>\r\n  </Response>\r\n</Foo>");

    // Two in one write, answered in order; one split over writes; garbage
    // beyond the limit is dropped and the connection stays; a message that
    // is not well-formed gets nothing.
    send_text(fd, "<Foo>1</Foo><Bar>2</Bar>");
    EXPECT_EQ(receive(fd, "</Bar>"), reply(500, "Not implemented", "<Foo>1</Foo>", "Foo") +
                                         reply(500, "Not implemented", "<Bar>2</Bar>", "Bar"));
    send_text(fd, "<Foo>spl");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    send_text(fd, "it</Foo>");
    EXPECT_EQ(receive(fd, "</Foo>"), reply(500, "Not implemented", "<Foo>split</Foo>", "Foo"));
    send_text(fd, std::string(102401, 'g'));
    send_text(fd, "<Foo a='1'>&bad;</Foo>");
    send_text(fd, "<Foo>after</Foo>");
    EXPECT_EQ(receive(fd, "</Foo>"), reply(500, "Not implemented", "<Foo>after</Foo>", "Foo"));
    close(fd);
}

TEST_F(AgentTest, AcceptsTenConnectionsAtATime)
{
    startAgent();
    std::vector<int> fds;
    for (int i = 0; i < 10; ++i) {
        fds.push_back(connect_to(9071));
        send_text(fds.back(), "<Foo>1</Foo>");
        ASSERT_EQ(receive(fds.back(), "</Foo>"), reply(500, "Not implemented", "<Foo>1</Foo>", "Foo")) << i;
    }
    int eleventh = connect_to(9071);  // the kernel's backlog takes it
    ASSERT_GE(eleventh, 0);
    send_text(eleventh, "<Foo>11</Foo>");
    EXPECT_EQ(receive(eleventh, "</Foo>", 700), "");
    close(fds[0]);
    EXPECT_EQ(receive(eleventh, "</Foo>"), reply(500, "Not implemented", "<Foo>11</Foo>", "Foo"));
    for (size_t i = 1; i < fds.size(); ++i)
        close(fds[i]);
    close(eleventh);
}

TEST_F(AgentTest, BatchesAreStoredAndSentToTheLibraryButNotPublished)
{
    startAgent();
    int lib = connect_to(9071);
    send_text(lib, request3);
    receive(lib, "</InitialSync>");

    JsonValue batch;
    MemDataSource src(R"({"sip:201@10.0.0.5":[{"co":"<sip:201@192.168.1.50:5060>","ex":3600,"lu":0,"id":"1",)"
                      R"("in":"<urn:x>","pa":"P","fr":"F","path":["<sip:p;lr>"]}],"sip:9@x":[],)"
                      R"("sip:noex@x":[{"co":"sip:n"}],"sip:bad@x":5,"sip:ctl@x":[{"co":"sip:\u0001","ex":60}]})");
    ASSERT_TRUE(batch.parse(src));
    agent->postRegistrations(batch);
    // The caller gets the pending value back: the empty object of the last pass.
    EXPECT_TRUE(batch.members.empty());
    std::string got = receive(lib, "<aor>sip:noex@x</aor>");
    if (got.size() < 12 || got.compare(got.size() - 12, 12, "</reginfo>\r\n") != 0)
        got += receive(lib, "</reginfo>\r\n", 500);
    EXPECT_NE(got.find("<aor>sip:noex@x</aor>\r\n  <contactinfo>\r\n    <contacturi>sip:n</contacturi>\r\n"
                       "    <expires>0</expires>\r\n    <lastupdate>1"),
              std::string::npos)
        << got;
    EXPECT_NE(got.find("<reginfo>\r\n  <aor>sip:201@10.0.0.5</aor>\r\n  <contactinfo>\r\n"
                       "    <contacturi>&lt;sip:201@192.168.1.50:5060&gt;</contacturi>\r\n"
                       "    <expires>3600</expires>\r\n    <lastupdate>0</lastupdate>\r\n"
                       "    <receivedfrom>F</receivedfrom>\r\n    <publicaddress>P</publicaddress>\r\n"
                       "    <sippath>&lt;sip:p;lr&gt;</sippath>\r\n    <instance>&lt;urn:x&gt;</instance>\r\n"
                       "    <regid>1</regid>\r\n  </contactinfo>\r\n</reginfo>\r\n"),
              std::string::npos)
        << got;
    EXPECT_NE(got.find("<reginfo>\r\n  <aor>sip:9@x</aor>\r\n</reginfo>\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find("<aor>sip:bad@x</aor>\r\n</reginfo>"), std::string::npos) << got;
    EXPECT_EQ(got.find("sip:ctl@x"), std::string::npos) << got;
    EXPECT_TRUE(published().empty());

    // An empty batch sends nothing; the library's next initial sync has the
    // stored records: each store pruned the ones before it, so only the last
    // one stored keeps its expired contact.
    JsonValue empty;
    empty.kind = JSON_HASH;
    agent->postRegistrations(empty);
    EXPECT_EQ(receive(lib, "</reginfo>\r\n", 700).find("<reginfo>"), std::string::npos);
    int again = connect_to(9071);
    send_text(again, request3);
    std::string sync = receive(again, "</InitialSync>");
    EXPECT_EQ(sync.find("<aor>sip:201@10.0.0.5</aor>"), 0u + strlen("<reginfo>\r\n  ")) << sync;
    EXPECT_EQ(sync.find("sip:9@x"), std::string::npos);
    EXPECT_EQ(sync.find("sip:bad@x"), std::string::npos);
    EXPECT_NE(sync.find("<aor>sip:noex@x</aor>\r\n  <contactinfo>\r\n    <contacturi>sip:n</contacturi>\r\n"
                        "    <expires>0</expires>"),
              std::string::npos);
    close(again);
    close(lib);
    // No save was asked for.
    struct stat st;
    EXPECT_NE(stat((root + "/lib/linegw/regDataBase.xml").c_str(), &st), 0);
}

// The controller's batches arrive on the thread that serves the management
// link, which runs on while the daemon stops and deletes the agent.
TEST_F(AgentTest, BatchesPostedWhileTheAgentShutsDownReachItOrAreDropped)
{
    JsonValue chunk;
    MemDataSource src(R"({"cmd":"registrations","off":0,"data":"{}"})");
    ASSERT_TRUE(chunk.parse(src));
    LogCapture log(4);
    for (int round = 0; round < 4; ++round) {
        startAgent();
        std::atomic<bool> done{false};
        std::atomic<int> posted{0};
        std::thread link([&] {
            while (!done.load()) {
                repro_proxy_chunk(chunk);
                posted.fetch_add(1);
            }
        });
        while (posted.load() < round * 50)
            std::this_thread::yield();
        // The daemon's shutdown step.
        agent.release();
        regSyncThread->stop();
        delete regSyncThread;
        regSyncThread = nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        done = true;
        link.join();
    }
    EXPECT_TRUE(log.contains("registrations: no registration-sync agent, batch dropped"));
}

TEST_F(AgentTest, ContactsOfTheLibraryArePublishedStoredAndSaved)
{
    // The library's side is the proxy's peer, as a restarted proxy uses it.
    sipproxy::LocationDb db;
    sipproxy::RegSyncPeer library(db, {9070, 9071, 1000, 30000});
    ASSERT_TRUE(library.start());
    startAgent();
    ASSERT_TRUE(eventually([&] { return library.clientConnected(); }));
    int64_t now = db.now();
    auto c = phone("<sip:201@192.168.1.50:5060>", now + 3600, now - 20);
    c.instance = "<urn:uuid:1>";
    c.reg_id = 1;
    db.updateContact("sip:201@10.0.0.5", c);
    // The agent's client connects on its 20th pass (about 10 s) and gets the
    // initial sync.
    ASSERT_TRUE(eventually([&] { return published().count(".3.80.33.1.0") == 1; }, 15000));
    // Times count on while the agent waits to connect.
    JsonValue v;
    std::string text = published()[".3.80.33.1.0"];
    MemDataSource src(text.c_str());
    ASSERT_TRUE(v.parse(src)) << text;
    EXPECT_GE(v["ex"].integer, 3580);
    EXPECT_LE(v["ex"].integer, 3600);
    EXPECT_GE(v["lu"].integer, 20);
    EXPECT_LE(v["lu"].integer, 40);
    v.members.erase("ex");
    v.members.erase("lu");
    EXPECT_EQ(v.toString(0), R"({"aor":"sip:201@10.0.0.5","co":"<sip:201@192.168.1.50:5060>","fr":"UDP:127.0.0.1:5062",)"
                             R"("id":"1","in":"<urn:uuid:1>"})");
    // A live change: a second phone.
    db.updateContact("sip:202@10.0.0.5", phone("<sip:202@192.168.1.51:5060>", now + 60, now));
    ASSERT_TRUE(eventually([&] { return published().size() == 2; }));

    regsync_request_save();
    std::string path = root + "/lib/linegw/regDataBase.xml";
    ASSERT_TRUE(eventually([&] {
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find("sip:202@10.0.0.5") != std::string::npos;
    }));

    // A new proxy (empty database) gets them back from the agent.
    library.stop();
    sipproxy::LocationDb fresh;
    sipproxy::RegSyncPeer restarted(fresh, {9070, 9071, 1000, 30000});
    ASSERT_TRUE(restarted.start());
    ASSERT_TRUE(eventually([&] { return fresh.getContacts("sip:202@10.0.0.5").size() == 1; }));
    ASSERT_EQ(fresh.getContacts("sip:201@10.0.0.5").size(), 1u);
    EXPECT_EQ(fresh.getContacts("sip:201@10.0.0.5")[0].instance, "<urn:uuid:1>");
    EXPECT_EQ(fresh.getContacts("sip:201@10.0.0.5")[0].reg_id, 1u);
    restarted.stop();

    // And a restarted agent has them from the file.
    stopAgent();
    startAgent();
    ASSERT_TRUE(eventually([&] {
        int fd = connect_to(9071);
        send_text(fd, request3);
        std::string sync = receive(fd, "</InitialSync>");
        close(fd);
        return sync.find("sip:201@10.0.0.5") != std::string::npos && sync.find("sip:202@10.0.0.5") != std::string::npos;
    }));
}

TEST_F(AgentTest, ARecordWhoseContactsAllExpiredKeepsTheStoredOne)
{
    Client probe(1);
    std::string live = "<reginfo><aor>sip:a@x</aor><contactinfo><contacturi>sip:1</contacturi>"
                       "<expires>60</expires><lastupdate>0</lastupdate></contactinfo></reginfo>";
    std::string dead = "<reginfo><aor>sip:a@x</aor><contactinfo><contacturi>sip:2</contacturi>"
                       "<expires>0</expires><lastupdate>0</lastupdate></contactinfo></reginfo>";
    probe.processRegInfo(live);
    ASSERT_EQ(published().size(), 1u);
    {
        MutexLock g(varStore.mutex);
        varStore.values.clear();
    }
    probe.processRegInfo(dead);
    probe.processRegInfo("<InitialSync><Response/></InitialSync>");
    probe.processRegInfo("<reginfo><aor>");
    EXPECT_TRUE(published().empty());
    ASSERT_EQ(regDataBase.size(), 1u);
    EXPECT_EQ(regDataBase["sip:a@x"]->contacts[0]->contacturi, "sip:1");
    regDataBase.clear();
}

TEST_F(AgentTest, ClientDropsOverlongGarbageAndReconnectsAfterTheCountdown)
{
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9070);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 5), 0);
    startAgent();
    pollfd p{lfd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 15000), 1);
    int fd = accept(lfd, nullptr, nullptr);
    EXPECT_EQ(receive(fd, "</InitialSync>\r\n"), request3);
    send_text(fd, std::string(102401, 'g'));
    EXPECT_EQ(receive(fd, "never", 2000), "");  // closed by the agent
    ASSERT_EQ(poll(&p, 1, 15000), 1);
    int again = accept(lfd, nullptr, nullptr);
    EXPECT_EQ(receive(again, "</InitialSync>\r\n"), request3);
    close(fd);
    close(again);
    close(lfd);
}

// ------------------------------------------------------------ publication

TEST(PublishTest, ContactVariablesAreNamedByTheCrcOfTheAor)
{
    standaloneMode = false;
    reg_set_clock(test_clock);
    struct {
        std::string aor;
        const char* first;
    } cases[] = {
        {"abc", ".3.81.74.1.0"},
        {"sip:201@10.0.0.5", ".3.80.33.1.0"},
        {"sip:638@10.0.0.5", ".3.1.1.1.0"},
        {"", ".3.255.255.1.0"},
    };
    for (const auto& c : cases) {
        {
            MutexLock g(varStore.mutex);
            varStore.values.clear();
        }
        RegInfo r;
        r.aor = c.aor;
        auto ci = std::make_unique<ContactInfo>();
        ci->contacturi = "sip:c";
        ci->expires = 1700000000 + 3600;
        ci->lastupdate = 1700000000 - 20;
        r.contacts.push_back(std::move(ci));
        publish_reginfo(r);
        MutexLock g(varStore.mutex);
        ASSERT_EQ(varStore.values.size(), 1u) << c.aor;
        EXPECT_EQ(varStore.values.begin()->first, c.first) << c.aor;
        EXPECT_EQ(varStore.values.begin()->second.text,
                  R"({"aor":")" + c.aor + R"(","co":"sip:c","ex":3600,"lu":20})");
    }
    RegInfo many;
    many.aor = "abc";
    for (int i = 0; i < 300; ++i) {
        auto ci = std::make_unique<ContactInfo>();
        ci->expires = 1700000000 - 5;
        many.contacts.push_back(std::move(ci));
    }
    {
        MutexLock g(varStore.mutex);
        varStore.values.clear();
    }
    publish_reginfo(many);
    MutexLock g(varStore.mutex);
    EXPECT_EQ(varStore.values.size(), 255u);
    EXPECT_EQ(varStore.values[".3.81.74.255.0"].text, R"({"aor":"abc","co":"","ex":-5,"lu":1700000000})");
    reg_set_clock(nullptr);
}

TEST(PublishTest, ASaveRequestWithoutTheAgentDoesNothing)
{
    regsync_set_target(nullptr);
    regsync_request_save();
    RegSyncThread never_started;
    never_started.requestSave();
    EXPECT_TRUE(never_started.save);
    never_started.stop();
}

}  // namespace
