// The network settings against the kernel of a namespace of their own and
// stand-ins for udhcpc, pppd, ntpclient, dnsmasq and the sound download under
// a scratch root: addresses and routes, the relay file, the DHCP/PPPoE state
// machine, and children reaped by their owners only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>

#include "core/log.h"
#include "mgmt/device_settings.h"
#include "mgmt/global_config.h"
#include "mgmt/network_settings.h"
#include "mgmt/var_store.h"
#include "platform/command.h"
#include "platform/paths.h"
#include "support/file_text.h"
#include "support/log_capture.h"
#include "support/net_namespace.h"

namespace {

void put_file(const std::string& path, const std::string& text, bool executable = false)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
    if (executable)
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// Output of a command line run in the test's namespace.
std::string ip_output(const std::string& command)
{
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

class NetworkSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NetNamespaces::usable())
            GTEST_SKIP() << "needs root for a network namespace of its own";
        net.build();
        if (HasFatalFailure())
            return;
        char tmpl[] = "/tmp/netset-XXXXXX";
        root = mkdtemp(tmpl);
        platform_set_root(root);
        // Each stand-in writes "name arg arg..." ("[]" for an empty one) to
        // calls, and the descriptors it holds ("fd target" lines) to fds.<name>.
        record = "{ printf '%s' \"$(basename $0)\"; for a in \"$@\"; do "
                             "printf ' %s' \"${a:-[]}\"; done; echo; } >> " + root + "/calls\n"
                             "fds=$(for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink $f)\"; done)\n"
                             "echo \"$fds\" > " + root + "/fds.$(basename $0)\n";
        std::string daemon = "#!/bin/sh\ntrap 'exit 0' TERM\n" + record + "while :; do sleep 0.02; done\n";
        put_file(root + "/sbin/udhcpc", daemon, true);
        put_file(root + "/usr/sbin/pppd", daemon, true);
        put_file(root + "/usr/sbin/ntpclient", daemon, true);
        put_file(root + "/etc/init.d/dnsmasq", "#!/bin/sh\n" + record, true);
        put_file(root + "/usr/share/linegw/update-sounds", "#!/bin/sh\n" + record + "exit $(cat " + root + "/sounds-exit)\n", true);
        put_file(root + "/sounds-exit", "1");
        put_file(root + "/sbin/exits7", "#!/bin/sh\nsleep 0.1\nexit 7\n", true);
        network_settings_reset();
        device_settings_reset();
        global_config_reset();
        standaloneMode.store(false);
        ASSERT_EQ(install_sigchld_handler(), 0);
    }

    void TearDown() override
    {
        if (root.empty())
            return;
        stop_network_children();
        signal(SIGCHLD, SIG_DFL);
        network_settings_reset();
        device_settings_reset();
        global_config_reset();
        standaloneMode.store(false);
        platform_set_root("");
        std::filesystem::remove_all(root);
    }

    // What the poller does: serve every child's end until fn holds.
    template <class Fn>
    bool serve_until(Fn fn, int ms = 3000)
    {
        return NetNamespaces::eventually([&] {
            if (child_exit_pending())
                child_supervision_service(true);
            return fn();
        }, ms);
    }
    // Serves child ends for a while; fn must keep holding.
    template <class Fn>
    bool serve_for(int ms, Fn fn)
    {
        return !serve_until([&] { return !fn(); }, ms);
    }

    std::vector<std::string> calls(const std::string& name = "")
    {
        std::vector<std::string> out;
        // A stand-in writes its line in pieces: a line counts once it is whole.
        std::string text = slurp(root + "/calls");
        text.erase(text.rfind('\n') + 1);
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (name.empty() || line.rfind(name + " ", 0) == 0 || line == name)
                out.push_back(line);
        return out;
    }
    bool called(const std::string& name, size_t times)
    {
        return calls(name).size() == times;
    }
    void set_static(const std::string& ip, const std::string& mask, const std::string& gw)
    {
        set_device_setting(&DeviceSettings::ipaddr, ip);
        set_device_setting(&DeviceSettings::netmask, mask);
        set_device_setting(&DeviceSettings::gateway, gw);
    }

    NetNamespaces net;
    std::string root;
    std::string record;   // what each stand-in does first, after its trap
    LogCapture log{7};
};

const char* const UDHCPC_EMPTY = "udhcpc -i|eth0|-f|-p|/var/run/eth0.pid|-R|-S|-V|[]|[]";

std::string bars(const std::string& call)
{
    // "name a b" -> "name a|b" for comparing argv with blanks kept apart
    size_t first = call.find(' ');
    std::string out = call;
    for (size_t i = first + 1; i < out.size(); i++)
        if (out[i] == ' ')
            out[i] = '|';
    return out;
}

TEST_F(NetworkSettings, ChildrenGetDevNullAndOwnersKeepTheirExitCodes)
{
    int marker = open((root + "/marker").c_str(), O_CREAT | O_RDWR, 0600);   // no O_CLOEXEC
    ASSERT_GE(marker, 0);
    // an owner that waits for its own child while supervised children end
    std::thread owner([] { EXPECT_EQ(run_program("/sbin/exits7", {"exits7"}), 7); });
    pid_t mine = fork();
    if (mine == 0) {
        usleep(50000);
        _exit(3);
    }
    start_dhcp_client("");
    ASSERT_TRUE(serve_until([&] { return !slurp(root + "/fds.udhcpc").empty(); }));
    stop_udhcpc();
    ASSERT_TRUE(serve_until([] { return network_children().udhcpc_pid == 0; }));
    EXPECT_TRUE(log.contains("DHCP client (pid"));
    owner.join();
    int status = 0;
    ASSERT_EQ(waitpid(mine, &status, 0), mine) << "the supervision reaped a child it does not own";
    EXPECT_EQ(WEXITSTATUS(status), 3);

    // 0-2 on /dev/null, none of the daemon's own descriptors
    std::map<int, std::string> fds;
    std::istringstream lines(slurp(root + "/fds.udhcpc"));
    for (std::string line; std::getline(lines, line);)
        fds[std::stoi(line)] = line.substr(line.find(' ') + 1);
    for (int fd : {0, 1, 2})
        EXPECT_EQ(fds[fd], "/dev/null") << fd;
    for (const auto& [fd, target] : fds)
        EXPECT_EQ(target.find("marker"), std::string::npos) << fd << " " << target;
    close(marker);
}

TEST_F(NetworkSettings, DhcpClientStartsOncePerOptionsAndNoAppliesTheStaticAddressAtItsExit)
{
    set_static("10.1.1.7", "255.255.255.0", "10.1.1.254");
    start_dhcp_client("");
    start_dhcp_client("");
    ASSERT_TRUE(serve_until([&] { return called("udhcpc", 1); }));
    EXPECT_EQ(bars(calls("udhcpc")[0]), UDHCPC_EMPTY);
    EXPECT_TRUE(log.contains("DHCP client started (pid="));

    // a static address while the client runs: the client goes first
    apply_network_settings();
    EXPECT_EQ(network_children().dhcp_opt, "no");
    EXPECT_EQ(ip_output("ip -4 -o addr show eth0").find("10.1.1.7"), std::string::npos);
    ASSERT_TRUE(serve_until([&] { return ip_output("ip -4 -o addr show eth0").find("10.1.1.7/24") != std::string::npos; }));
    EXPECT_TRUE(log.contains("exited with return code 0"));
    EXPECT_NE(ip_output("ip -4 route show default").find("default via 10.1.1.254 dev eth0"), std::string::npos);
    EXPECT_EQ(calls("udhcpc").size(), 1u);

    start_dhcp_client("-b -x hostname:gw");
    ASSERT_TRUE(serve_until([&] { return called("udhcpc", 2); }));
    EXPECT_EQ(bars(calls("udhcpc")[1]), "udhcpc -i|eth0|-f|-p|/var/run/eth0.pid|-R|-S|-V|[]|-b|-x|hostname:gw");
}

TEST_F(NetworkSettings, DhcpClientAndPppdWaitForEachOther)
{
    start_pppd("user%3Aname:pa%25ss");
    ASSERT_TRUE(serve_until([&] { return called("pppd", 1); }));
    EXPECT_EQ(bars(calls("pppd")[0]),
        "pppd plugin|rp-pppoe.so|eth0|nodetach|persist|defaultroute|replacedefaultroute|usepeerdns|noaccomp|"
        "noauth|maxfail|0|name|user:name|password|pa%ss");
    EXPECT_EQ(ip_output("ip -4 -o addr show eth0"), "");   // pppd owns eth0's address

    // DHCP asked for while pppd runs: pppd ends first, the client follows
    start_dhcp_client("-b");
    EXPECT_EQ(network_children().dhcp_deferred_opts, "-b");
    ASSERT_TRUE(serve_until([&] { return called("udhcpc", 1); }));
    NetworkChildren c = network_children();
    EXPECT_EQ(c.pppd_pid, 0);
    EXPECT_EQ(c.pppoe_opt, "");
    EXPECT_EQ(c.dhcp_opt, "-b");
    EXPECT_EQ(c.dhcp_deferred_opts, "no");

    // and the other way round, with service and access concentrator; this
    // pppd dies of SIGTERM instead of exiting
    put_file(root + "/usr/sbin/pppd", "#!/bin/sh\n" + record + "while :; do sleep 0.02; done\n", true);
    start_pppd("u:p:svc%2Dx:ac1");
    ASSERT_TRUE(serve_until([&] { return called("pppd", 2); }));
    EXPECT_EQ(bars(calls("pppd")[1]),
        "pppd plugin|rp-pppoe.so|rp_pppoe_service|svc-x|rp_pppoe_ac|ac1|eth0|nodetach|persist|defaultroute|"
        "replacedefaultroute|usepeerdns|noaccomp|noauth|maxfail|0|name|u|password|p");
    EXPECT_EQ(network_children().udhcpc_pid, 0);

    // a client ended by a signal still lets the waiting start go ahead
    start_dhcp_client("-q");
    ASSERT_TRUE(serve_until([&] { return called("udhcpc", 2); }));
    EXPECT_EQ(network_children().dhcp_opt, "-q");
}

TEST_F(NetworkSettings, Eth2AndItsRelayFile)
{
    std::string dhcp = root + "/etc/config/dhcp";
    const std::string others = "# local settings\nconfig dnsmasq\n\toption domainneeded\t1\n\n"
                               "config relay\n\toption server_addr\t10.0.0.9\n\toption local_addr\t1.1.1.1\n"
                               "config dhcp lan\n\toption interface\tlan\n";
    put_file(dhcp, others);
    set_device_setting(&DeviceSettings::ipaddr2, "192.168.7.1");
    set_device_setting(&DeviceSettings::netmask2, "255.255.0.0");
    {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        globalConfig["dhcp_server_addr"].setString("10.0.0.5");
    }
    apply_network_settings();
    EXPECT_NE(ip_output("ip -4 -o addr show eth2").find("192.168.7.1/16"), std::string::npos);
    EXPECT_EQ(slurp(dhcp), "# local settings\nconfig dnsmasq\n\toption domainneeded\t1\n\n"
                           "config dhcp lan\n\toption interface\tlan\n"
                           "config relay\n\toption server_addr\t10.0.0.5\n\toption local_addr\t192.168.7.1\n");
    EXPECT_EQ(read_dhcp_relay_option("server_addr"), "10.0.0.5");
    EXPECT_EQ(read_dhcp_relay_option("interface"), "");
    ASSERT_TRUE(serve_until([&] { return called("dnsmasq", 1); }));
    EXPECT_EQ(calls("dnsmasq")[0], "dnsmasq restart");

    // already right: neither the file nor dnsmasq
    auto before = std::filesystem::last_write_time(dhcp);
    apply_network_settings();
    EXPECT_EQ(std::filesystem::last_write_time(dhcp), before);

    // a server that would add lines to the file is refused, the file kept
    {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        globalConfig["dhcp_server_addr"].setString("10.0.0.6\nconfig dnsmasq\n\toption dhcpscript /tmp/x");
    }
    std::string kept = slurp(dhcp);
    apply_network_settings();
    EXPECT_EQ(slurp(dhcp), kept);
    EXPECT_TRUE(log.contains("set_dhcp_relay(): invalid relay server"));

    // no server: the section goes, dnsmasq restarts
    {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        globalConfig = JsonValue();
    }
    apply_network_settings();
    EXPECT_EQ(slurp(dhcp), "# local settings\nconfig dnsmasq\n\toption domainneeded\t1\n\n"
                           "config dhcp lan\n\toption interface\tlan\n");
    EXPECT_TRUE(serve_until([&] { return called("dnsmasq", 2); }));

    // standalone: eth2 from the configuration; empty takes eth2 down
    standaloneMode.store(true);
    {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        globalConfig["ipaddr2"].setString("");
    }
    apply_network_settings();
    EXPECT_EQ(device_setting(&DeviceSettings::ipaddr2), "");
    EXPECT_EQ(ip_output("ip -o link show eth2").find(",UP"), std::string::npos);
    EXPECT_TRUE(serve_for(300, [&] { return calls("dnsmasq").size() == 2; }));
}

TEST_F(NetworkSettings, AFailingSoundDownloadWaitsForTheNextApply)
{
    set_device_setting(&DeviceSettings::SWAddress, "10.9.0.1");
    set_static("10.1.1.7", "255.255.255.0", "");
    apply_network_settings();   // no gateway: no download
    standaloneMode.store(true);
    set_device_setting(&DeviceSettings::gateway, "10.1.1.254");
    apply_network_settings();   // standalone: none either
    EXPECT_TRUE(serve_for(200, [&] { return calls("update-sounds").empty(); }));

    standaloneMode.store(false);
    apply_network_settings();
    ASSERT_TRUE(serve_until([&] { return called("update-sounds", 1); }));
    EXPECT_EQ(calls("update-sounds")[0], "update-sounds http://10.9.0.1/files/zr-30/sounds");
    EXPECT_TRUE(log.contains("downloading sound files from http://10.9.0.1/files/zr-30/sounds..."));
    ASSERT_TRUE(serve_until([&] { return log.contains("wget exited with return code 1"); }));
    // no loop: nothing starts it again on its own
    EXPECT_TRUE(serve_for(500, [&] { return calls("update-sounds").size() == 1; }));
    EXPECT_FALSE(network_children().sounds_downloaded);

    put_file(root + "/sounds-exit", "0");
    apply_network_settings();
    ASSERT_TRUE(serve_until([&] { return network_children().sounds_downloaded; }));
    EXPECT_TRUE(log.contains("download complete"));
    apply_network_settings();
    EXPECT_TRUE(serve_for(200, [&] { return calls("update-sounds").size() == 2; }));
}

TEST_F(NetworkSettings, NtpClientIsStartedAgainAfterItEnds)
{
    EXPECT_FALSE(supervise_network_children(""));
    ASSERT_TRUE(supervise_network_children("10.9.0.1"));
    EXPECT_FALSE(supervise_network_children("10.9.0.1"));   // one at a time
    ASSERT_TRUE(serve_until([&] { return called("ntpclient", 1); }));
    EXPECT_EQ(calls("ntpclient")[0], "ntpclient -h 10.9.0.1 -i 60 -tls");

    stop_ntpclient();
    ASSERT_TRUE(serve_until([] { return network_children().ntpclient_pid == 0; }));
    EXPECT_TRUE(log.contains("ntpclient exited with return code 0"));
    ASSERT_TRUE(supervise_network_children("10.9.0.2"));
    ASSERT_TRUE(serve_until([&] { return called("ntpclient", 2); }));
    EXPECT_EQ(calls("ntpclient")[1], "ntpclient -h 10.9.0.2 -i 60 -tls");
}

TEST(NetworkSettingsText, SplitKeepsEmptyPieces)
{
    struct Case {
        const char* text;
        std::vector<std::string> pieces;
    } cases[] = {
        {"", {""}},
        {"a", {"a"}},
        {"a::b:", {"a", "", "b", ""}},
        {":", {"", ""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split_string(c.text, ':'), c.pieces) << c.text;
}

}  // namespace
