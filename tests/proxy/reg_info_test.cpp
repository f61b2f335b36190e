// Registration records, their XML and the database file, in a scratch root
// with a clock of the test's own.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "mgmt/var_store.h"
#include "platform/paths.h"
#include "platform/wall_clock.h"
#include "proxy/reg_info.h"
#include "proxy/regdb.h"
#include "support/log_capture.h"

namespace {

time_t fake_now = 1700000000;
time_t fake_clock() { return fake_now; }
std::vector<time_t> clock_sets;
int fake_setter(const struct timeval* tv)
{
    clock_sets.push_back(tv->tv_sec);
    fake_now = tv->tv_sec;
    return 0;
}

std::unique_ptr<ContactInfo> contact(const std::string& uri, uint64_t expires, uint64_t lastupdate)
{
    auto c = std::make_unique<ContactInfo>();
    c->contacturi = uri;
    c->expires = expires;
    c->lastupdate = lastupdate;
    return c;
}

std::string written(const RegInfo& r)
{
    std::ostringstream o;
    o << r;
    return o.str();
}

RegInfo parsed(const std::string& text, uint32_t base)
{
    RegInfo r;
    r.parse(sipproxy::xml_parse(text), base);
    return r;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class RegInfoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_now = 1700000000;
        clock_sets.clear();
        reg_set_clock(fake_clock);
        platform_set_wall_clock_setter(fake_setter);
        char dir[] = "/tmp/linegw-reginfo-XXXXXX";
        root = mkdtemp(dir);
        mkdir((root + "/lib").c_str(), 0755);
        platform_set_root(root);
        regDataBase.clear();
        standaloneMode = false;
        MutexLock g(varStore.mutex);
        varStore.values.clear();
    }
    void TearDown() override
    {
        regDataBase.clear();
        reg_set_clock(nullptr);
        platform_set_wall_clock_setter(nullptr);
        platform_set_root("");
        std::system(("chmod -R u+w " + root + "; rm -rf " + root).c_str());
    }
    std::map<std::string, std::string> published()
    {
        std::map<std::string, std::string> out;
        MutexLock g(varStore.mutex);
        for (const auto& [id, v] : varStore.values)
            out[id] = v.text;
        return out;
    }
    std::string root;
};

TEST_F(RegInfoTest, WritesRelativeTimesByteForByteAndParsesThemBack)
{
    RegInfo r;
    r.aor = "sip:201@10.0.0.5";
    auto c = contact("<sip:201@192.168.1.50:5060>", fake_now + 3600, fake_now - 20);
    c->receivedfrom = "AAAAAAEAAAAAA8QTwKgBMg==";
    r.contacts.push_back(std::move(c));
    auto full = contact("sip:a@b", fake_now + 10, fake_now + 5);
    full->publicaddress = "pub";
    full->sippath = {"<sip:p1;lr>", "", "<sip:p2;lr>"};
    full->instance = "<urn:uuid:1>";
    full->regid = "1";
    r.contacts.push_back(std::move(full));
    r.contacts.push_back(contact("sip:gone@x", fake_now - 1, 0));
    const std::string text =
        "<reginfo>\r\n"
        "  <aor>sip:201@10.0.0.5</aor>\r\n"
        "  <contactinfo>\r\n"
        "    <contacturi>&lt;sip:201@192.168.1.50:5060&gt;</contacturi>\r\n"
        "    <expires>3600</expires>\r\n"
        "    <lastupdate>20</lastupdate>\r\n"
        "    <receivedfrom>AAAAAAEAAAAAA8QTwKgBMg==</receivedfrom>\r\n"
        "  </contactinfo>\r\n"
        "  <contactinfo>\r\n"
        "    <contacturi>sip:a@b</contacturi>\r\n"
        "    <expires>10</expires>\r\n"
        "    <lastupdate>0</lastupdate>\r\n"
        "    <publicaddress>pub</publicaddress>\r\n"
        "    <sippath>&lt;sip:p1;lr&gt;</sippath>\r\n"
        "    <sippath>&lt;sip:p2;lr&gt;</sippath>\r\n"
        "    <instance>&lt;urn:uuid:1&gt;</instance>\r\n"
        "    <regid>1</regid>\r\n"
        "  </contactinfo>\r\n"
        "  <contactinfo>\r\n"
        "    <contacturi>sip:gone@x</contacturi>\r\n"
        "    <expires>0</expires>\r\n"
        "    <lastupdate>1700000000</lastupdate>\r\n"
        "  </contactinfo>\r\n"
        "</reginfo>\r\n";
    EXPECT_EQ(written(r), text);

    RegInfo back = parsed(text, 5000);
    EXPECT_EQ(back.aor, "sip:201@10.0.0.5");
    ASSERT_EQ(back.contacts.size(), 2u);  // the expired one is dropped
    EXPECT_EQ(back.contacts[0]->contacturi, "<sip:201@192.168.1.50:5060>");
    EXPECT_EQ(back.contacts[0]->expires, 5000u + 3600);
    EXPECT_EQ(back.contacts[0]->lastupdate, 5000u - 20);
    EXPECT_EQ(back.contacts[0]->receivedfrom, "AAAAAAEAAAAAA8QTwKgBMg==");
    EXPECT_EQ(back.contacts[1]->sippath, (std::list<std::string>{"<sip:p1;lr>", "<sip:p2;lr>"}));
    EXPECT_EQ(back.contacts[1]->instance, "<urn:uuid:1>");
    EXPECT_EQ(back.contacts[1]->regid, "1");
    EXPECT_EQ(back.contacts[1]->publicaddress, "pub");
    // Base 0 is now.
    EXPECT_EQ(parsed(text, 0).contacts[0]->expires, uint64_t(fake_now) + 3600);
}

TEST_F(RegInfoTest, MarkupInTextsSurvivesAndTagsReadInAnyCase)
{
    RegInfo r;
    r.aor = "sip:a<&>'\"@x";
    r.contacts.push_back(contact("<sip:&amp;@y>", fake_now + 60, fake_now));
    RegInfo back = parsed(written(r), 0);
    EXPECT_EQ(back.aor, r.aor);
    ASSERT_EQ(back.contacts.size(), 1u);
    EXPECT_EQ(back.contacts[0]->contacturi, "<sip:&amp;@y>");

    RegInfo caps = parsed("<REGINFO><AOR>sip:x@y</AOR><ContactInfo><ContactUri>sip:c</ContactUri>"
                          "<EXPIRES>5</EXPIRES><useragent>ignored</useragent><regid></regid></ContactInfo></REGINFO>",
                          100);
    EXPECT_EQ(caps.aor, "sip:x@y");
    ASSERT_EQ(caps.contacts.size(), 1u);
    EXPECT_EQ(caps.contacts[0]->contacturi, "sip:c");
    EXPECT_EQ(caps.contacts[0]->expires, 105u);
    EXPECT_EQ(caps.contacts[0]->regid, "");
}

TEST_F(RegInfoTest, AnyByteButControlCharactersComesBackAsItWas)
{
    RegInfo r;
    r.aor = "sip:j\xfcrgen@x";  // Latin-1, not UTF-8
    r.contacts.push_back(contact("\"J\xc3\xbcrgen\r\n\t\" <sip:c@y>", fake_now + 60, fake_now));
    RegInfo back = parsed(written(r), 0);
    EXPECT_EQ(back.aor, r.aor);
    ASSERT_EQ(back.contacts.size(), 1u);
    EXPECT_EQ(back.contacts[0]->contacturi, r.contacts[0]->contacturi);
    EXPECT_TRUE(sipproxy::xml_has_control(std::string("a\x01", 2)));
    EXPECT_TRUE(sipproxy::xml_has_control(std::string("a\0", 2)));
    EXPECT_FALSE(sipproxy::xml_has_control("a\t\r\n\x7f\xff"));
}

TEST_F(RegInfoTest, RecordsWithoutOneAorOrWithUnusableContactsAreLeftForTheCallerToDiscard)
{
    LogCapture log;
    struct {
        const char* text;
        const char* aor;
        size_t contacts;
        const char* logged;
    } cases[] = {
        {"<reginfo><aor>a</aor><aor>b</aor><contactinfo><expires>5</expires></contactinfo></reginfo>", "a", 0,
         "multiple <aor> in <reginfo>"},
        {"<reginfo><aor></aor><contactinfo><expires>5</expires></contactinfo></reginfo>", "", 0,
         "empty <aor> in <reginfo>"},
        {"<reginfo><contactinfo><expires>5</expires></contactinfo></reginfo>", "", 0, "no <aor> in <reginfo>"},
        {"<reginfo></reginfo>", "", 0, "no <aor> in <reginfo>"},
        {"<reginfo><aor>a</aor><contactinfo><expires>x</expires></contactinfo>"
         "<contactinfo><expires>0</expires></contactinfo><contactinfo/></reginfo>",
         "a", 0, nullptr},
    };
    for (const auto& c : cases) {
        RegInfo r = parsed(c.text, 10);
        EXPECT_EQ(r.aor, c.aor) << c.text;
        EXPECT_EQ(r.contacts.size(), c.contacts) << c.text;
        if (c.logged) {
            EXPECT_TRUE(log.contains(c.logged)) << c.text;
        }
    }
    EXPECT_THROW(sipproxy::xml_parse("<reginfo><aor>a</reginfo>"), sipproxy::XmlError);
    EXPECT_THROW(sipproxy::xml_parse("<!DOCTYPE r [<!ENTITY a 'x'>]><reginfo><aor>&a;</aor></reginfo>"),
                 sipproxy::XmlError);
    EXPECT_THROW(sipproxy::xml_parse(std::string(40, '<') + "a"), sipproxy::XmlError);
    std::string deep;
    for (int i = 0; i < 40; ++i)
        deep += "<a>";
    for (int i = 0; i < 40; ++i)
        deep += "</a>";
    EXPECT_THROW(sipproxy::xml_parse(deep), sipproxy::XmlError);
}

TEST_F(RegInfoTest, DatabaseReplacesWholeRecordsAndPrunes)
{
    auto a = std::make_unique<RegInfo>();
    a->aor = "sip:a@x";
    a->contacts.push_back(contact("sip:1", fake_now + 100, 0));
    a->contacts.push_back(contact("sip:2", fake_now + 100, 0));
    regDataBase.addRegInfo(std::move(a));
    auto b = std::make_unique<RegInfo>();
    b->aor = "sip:a@x";
    b->contacts.push_back(contact("sip:3", fake_now, 0));  // expires this very second: stays
    regDataBase.addRegInfo(std::move(b));
    ASSERT_EQ(regDataBase.size(), 1u);
    ASSERT_EQ(regDataBase["sip:a@x"]->contacts.size(), 1u);
    EXPECT_EQ(regDataBase["sip:a@x"]->contacts[0]->contacturi, "sip:3");

    auto empty = std::make_unique<RegInfo>();
    empty->aor = "sip:e@x";
    regDataBase.addRegInfo(std::move(empty));
    EXPECT_EQ(regDataBase.size(), 2u);  // stored until the next prune
    LogCapture log;
    regDataBase.addRegInfo(nullptr);
    EXPECT_TRUE(log.contains("RegDataBase::addRegInfo(): info id NULL"));
    EXPECT_EQ(regDataBase.size(), 1u);
    fake_now += 1;
    regDataBase.prune();
    EXPECT_TRUE(regDataBase.empty());
}

TEST_F(RegInfoTest, SaveWritesTheFileByteForByteAndLoadBringsItBack)
{
    {
        LogCapture log;
        ASSERT_TRUE(regdb_save());
        EXPECT_TRUE(log.contains("registration database saved to /lib/linegw/regDataBase.xml"));
    }
    const std::string path = root + "/lib/linegw/regDataBase.xml";
    EXPECT_EQ(read_file(path), "<regDataBase>\r\n<timestamp>1700000000</timestamp>\r\n</regDataBase>\r\n");

    for (const char* aor : {"sip:202@10.0.0.5", "sip:201@10.0.0.5"}) {
        auto r = std::make_unique<RegInfo>();
        r->aor = aor;
        r->contacts.push_back(contact(std::string("<") + aor + ">", fake_now + 3600, fake_now - 20));
        regDataBase.addRegInfo(std::move(r));
    }
    ASSERT_TRUE(regdb_save());
    const std::string file =
        "<regDataBase>\r\n<timestamp>1700000000</timestamp>\r\n"
        "<reginfo>\r\n  <aor>sip:201@10.0.0.5</aor>\r\n  <contactinfo>\r\n"
        "    <contacturi>&lt;sip:201@10.0.0.5&gt;</contacturi>\r\n    <expires>3600</expires>\r\n"
        "    <lastupdate>20</lastupdate>\r\n  </contactinfo>\r\n</reginfo>\r\n"
        "<reginfo>\r\n  <aor>sip:202@10.0.0.5</aor>\r\n  <contactinfo>\r\n"
        "    <contacturi>&lt;sip:202@10.0.0.5&gt;</contacturi>\r\n    <expires>3600</expires>\r\n"
        "    <lastupdate>20</lastupdate>\r\n  </contactinfo>\r\n</reginfo>\r\n"
        "</regDataBase>\r\n";
    EXPECT_EQ(read_file(path), file);
    struct stat st;
    EXPECT_NE(stat((path + ".tmp").c_str(), &st), 0);

    // Restarted 100 s later: the contacts count from the time of writing.
    fake_now += 100;
    regDataBase.clear();
    LogCapture log;
    regdb_load();
    EXPECT_TRUE(log.contains("2 object(s) loaded"));
    ASSERT_EQ(regDataBase.size(), 2u);
    EXPECT_EQ(regDataBase["sip:201@10.0.0.5"]->contacts[0]->expires, 1700000000u + 3600);
    EXPECT_TRUE(clock_sets.empty());
    // Numbered by a counter of the load's own (129 for the first after start-up).
    std::vector<std::string> texts;
    for (const auto& [id, text] : published()) {
        EXPECT_EQ(id.rfind(".1.", 0), 0u) << id;
        texts.push_back(text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{R"({"cont":"<sip:201@10.0.0.5>","exp":3500,"name":"201"})",
                                               R"({"cont":"<sip:202@10.0.0.5>","exp":3500,"name":"202"})"}));
}

TEST_F(RegInfoTest, LoadSetsAClockThatIsBehindForward)
{
    mkdir((root + "/lib/linegw").c_str(), 0755);
    write_file(root + "/lib/linegw/regDataBase.xml",
               "<regDataBase>\r\n<timestamp>1000</timestamp>\r\n<reginfo>\r\n  <aor>sip:201@h</aor>\r\n"
               "  <contactinfo>\r\n    <contacturi>sip:c</contacturi>\r\n    <expires>60</expires>\r\n"
               "    <lastupdate>0</lastupdate>\r\n  </contactinfo>\r\n  <contactinfo>\r\n"
               "    <contacturi>sip:zero</contacturi>\r\n    <expires>0</expires>\r\n"
               "    <lastupdate>0</lastupdate>\r\n  </contactinfo>\r\n</reginfo>\r\n</regDataBase>\r\n");
    fake_now = 500;
    LogCapture log;
    regdb_load();
    EXPECT_TRUE(log.contains("file timestamp is 500 sec in the future"));
    EXPECT_EQ(clock_sets, std::vector<time_t>{1000});
    ASSERT_EQ(regDataBase.size(), 1u);
    ASSERT_EQ(regDataBase["sip:201@h"]->contacts.size(), 1u);
    EXPECT_EQ(regDataBase["sip:201@h"]->contacts[0]->expires, 1060u);
    EXPECT_EQ(published().begin()->second, R"({"cont":"sip:c","exp":60,"name":"201"})");
}

TEST_F(RegInfoTest, MissingBrokenOrForeignFilesLoadNothing)
{
    struct {
        const char* content;  // null: no file
        const char* logged;
    } cases[] = {
        {nullptr, "no saved regDataBase found"},
        {"", "no saved regDataBase found"},
        {"<other/>", "no saved regDataBase found"},
        {"<regDataBase><timestamp>5", "exception caught"},
    };
    mkdir((root + "/lib/linegw").c_str(), 0755);
    for (const auto& c : cases) {
        unlink((root + "/lib/linegw/regDataBase.xml").c_str());
        if (c.content)
            write_file(root + "/lib/linegw/regDataBase.xml", c.content);
        LogCapture log;
        regdb_load();
        EXPECT_TRUE(log.contains(c.logged)) << (c.content ? c.content : "no file");
        EXPECT_TRUE(regDataBase.empty());
        EXPECT_TRUE(clock_sets.empty());
    }
}

TEST_F(RegInfoTest, AFailedSaveIsReportedAndKeepsTheOldFile)
{
    auto r = std::make_unique<RegInfo>();
    r->aor = "sip:201@h";
    r->contacts.push_back(contact("sip:c", fake_now + 60, fake_now));
    regDataBase.addRegInfo(std::move(r));
    ASSERT_TRUE(regdb_save());
    const std::string path = root + "/lib/linegw/regDataBase.xml";
    std::string before = read_file(path);
    // The temporary file cannot be created: a directory is in its way.
    mkdir((path + ".tmp").c_str(), 0755);
    regDataBase.clear();
    LogCapture log;
    EXPECT_FALSE(regdb_save());
    EXPECT_TRUE(log.contains("cannot save registration database to /lib/linegw/regDataBase.xml"));
    EXPECT_FALSE(log.contains("registration database saved"));
    EXPECT_EQ(read_file(path), before);
    // A save cut short leaves only its temporary file; the saved file loads.
    rmdir((path + ".tmp").c_str());
    write_file(path + ".tmp", "<regDataBase>\r\n<timestamp>17");
    regdb_load();
    EXPECT_EQ(regDataBase.size(), 1u);
}

TEST_F(RegInfoTest, AnAorThatIsNoSipUriStillLoadsWithTheRecordsAfterIt)
{
    for (const char* aor : {"abc", "sip:201@h"}) {
        auto r = std::make_unique<RegInfo>();
        r->aor = aor;
        r->contacts.push_back(contact("sip:c", fake_now + 60, fake_now));
        regDataBase.addRegInfo(std::move(r));
    }
    ASSERT_TRUE(regdb_save());
    regdb_load();
    EXPECT_EQ(regDataBase.size(), 2u);
    std::set<std::string> texts;
    for (const auto& [id, text] : published())
        texts.insert(text);
    EXPECT_EQ(texts, (std::set<std::string>{R"({"cont":"sip:c","exp":60,"name":""})",
                                            R"({"cont":"sip:c","exp":60,"name":"201"})"}));
}

}  // namespace
