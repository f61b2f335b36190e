// The controller's call groups and route table, and the chunks that carry
// them (and the registrations batches) to the proxy.
#include <gtest/gtest.h>

#include "core/reg_sync.h"
#include "proxy/proxy_tables.h"
#include "proxy/reg_sync_thread.h"
#include "proxy/repro_api.h"
#include "proxy/repro_runner.h"
#include "support/log_capture.h"

namespace {

JsonValue parsed(const std::string& text)
{
    MemDataSource src(text.c_str());
    JsonValue v;
    EXPECT_TRUE(v.parse(src)) << text;
    return v;
}

std::string groups_text()
{
    MutexLock g(proxyMutex);
    std::string out;
    for (const auto& [group, members] : callGroups) {
        out += (out.empty() ? "" : " ") + group + ":";
        for (const auto& m : members)
            out += "[" + m + "]";
    }
    return out;
}

class ProxyTablesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        runner = std::make_unique<MyReproRunner>();
        MutexLock g(proxyMutex);
        reproRunner = runner.get();
        clearRoutes();
    }
    void TearDown() override
    {
        repro_proxy_chunks_reset();
        regsync_set_target(nullptr);
        MutexLock g(proxyMutex);
        reproRunner = nullptr;
        callGroups.clear();
        clearRoutes();
    }
    static void clearRoutes()
    {
        auto& store = sipproxy::proxy_stores().routes;
        for (std::string k = store.getFirstKey(); !k.empty(); k = store.getFirstKey())
            store.eraseRoute(k);
    }
    // The stored routes as "order pattern [from] -> rewrite", in key order.
    static std::string routesText()
    {
        auto& store = sipproxy::proxy_stores().routes;
        std::string out;
        for (std::string k = store.getFirstKey(); !k.empty(); k = store.getNextKey(k)) {
            sipproxy::route_record_t r;
            EXPECT_TRUE(store.getRouteRecord(k, &r));
            out += (out.empty() ? "" : "; ") + std::to_string(r.order) + " " + r.pattern +
                   (r.from.empty() ? "" : " [" + r.from + "]") + " -> " + r.rewrite;
        }
        return out;
    }

    std::unique_ptr<MyReproRunner> runner;
};

TEST_F(ProxyTablesTest, CallGroupsAreReplacedWhole)
{
    struct case_t {
        const char* value;
        const char* groups;
    } cases[] = {
        {R"({"100":["200","201"],"300":[]})", "100:[200][201]"},
        {R"({"7":["b","a","b"],"8":"x","9":[5,"c@h"]})", "7:[a][b] 9:[][c@h]"},
        {"[]", ""},
        {R"({"100":["202"]})", "100:[202]"},
        {"{}", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        repro_update_callgroups(parsed(c.value));
        EXPECT_EQ(groups_text(), c.groups);
    }
}

// Each step applies one received list to the table the steps before left.
TEST_F(ProxyTablesTest, RouteListsUpdateAddAndErase)
{
    struct case_t {
        const char* label;
        const char* list;
        const char* routes;  // after the list
        const char* log;     // a message the list logs ("" for none)
    } cases[] = {
        {"added", R"([{"p":"^sip:9","o":1,"t":"sip:a@x"},{"p":"^sip:8","f":"^sip:boss@","o":2,"t":"sip:b@x"}])",
         "2 ^sip:8 [^sip:boss@] -> sip:b@x; 1 ^sip:9 -> sip:a@x", ""},
        {"same identity, new rewrite: updated in place",
         R"([{"p":"^sip:9","o":1,"t":"sip:a2@x"},{"p":"^sip:8","f":"^sip:boss@","o":2,"t":"sip:b@x"}])",
         "2 ^sip:8 [^sip:boss@] -> sip:b@x; 1 ^sip:9 -> sip:a2@x", ""},
        {"a route whose order alone changed is kept",
         R"([{"p":"^sip:9","o":5,"t":"sip:a2@x"},{"p":"^sip:8","f":"^sip:boss@","o":2,"t":"sip:b@x"}])",
         "2 ^sip:8 [^sip:boss@] -> sip:b@x; 5 ^sip:9 -> sip:a2@x", ""},
        {"the same pattern from another caller is another route",
         R"([{"p":"^sip:9","o":5,"t":"sip:a2@x"},{"p":"^sip:8","f":"^sip:boss@","o":2,"t":"sip:b@x"},)"
         R"({"p":"^sip:8","o":2,"t":"sip:c@x"}])",
         "2 ^sip:8 -> sip:c@x; 2 ^sip:8 [^sip:boss@] -> sip:b@x; 5 ^sip:9 -> sip:a2@x", ""},
        {"an order given as a string: skipped, and its route erased",
         R"([{"p":"^sip:9","o":"5","t":"sip:a2@x"},{"p":"^sip:8","f":"^sip:boss@","o":2,"t":"sip:b@x"},)"
         R"({"p":"^sip:8","o":2,"t":"sip:c@x"}])",
         "2 ^sip:8 -> sip:c@x; 2 ^sip:8 [^sip:boss@] -> sip:b@x",
         R"(repro_update_routes(): no order in route: {"o":"5","p":"^sip:9","t":"sip:a2@x"})"},
        {"no pattern", R"([{"o":1,"t":"sip:a@x"}])", "",
         R"(repro_update_routes(): no matching pattern in route: {"o":1,"t":"sip:a@x"})"},
        {"no rewrite", R"([{"p":"^sip:9","o":1}])", "",
         R"(repro_update_routes(): no rewrite expression in route: {"o":1,"p":"^sip:9"})"},
        {"the same identity twice: the second cannot be added",
         R"([{"p":"^sip:9","o":1,"t":"sip:a@x"},{"p":"^sip:9","o":1,"t":"sip:z@x"}])", "1 ^sip:9 -> sip:a@x",
         R"(repro_update_routes(): cannot add route: {"o":1,"p":"^sip:9","t":"sip:z@x"})"},
        {"only the low 16 bits of the order count, signed",
         R"([{"p":"^sip:9","o":65537,"t":"sip:a@x"},{"p":"^sip:7","o":40000,"t":"sip:b@x"}])",
         "-25536 ^sip:7 -> sip:b@x; 1 ^sip:9 -> sip:a@x", ""},
        {"an empty list erases every route", "[]", "", ""},
        {"so does a value that is not a list", R"([{"p":"^sip:9","o":1,"t":"sip:a@x"}])", "1 ^sip:9 -> sip:a@x",
         ""},
        {"", R"({"p":"^sip:9","o":1,"t":"sip:a@x"})", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.label) + " " + c.list);
        LogCapture log;
        repro_update_routes(parsed(c.list));
        EXPECT_EQ(routesText(), c.routes);
        if (*c.log) {
            EXPECT_TRUE(log.contains(c.log)) << ::testing::PrintToString(log.all());
        }
    }
}

TEST_F(ProxyTablesTest, WithoutAProxyTheRouteListIsDropped)
{
    repro_update_routes(parsed(R"([{"p":"^sip:9","o":1,"t":"sip:a@x"}])"));
    {
        MutexLock g(proxyMutex);
        reproRunner = nullptr;
    }
    repro_update_routes(parsed("[]"));
    EXPECT_EQ(routesText(), "1 ^sip:9 -> sip:a@x");
}

// A chunk sequence per command; what was applied after each chunk.
TEST_F(ProxyTablesTest, ChunkReassembly)
{
    struct chunk_t {
        const char* command;  // the ".20.0" object
        const char* applied;  // the call groups (or "regs N" for a registrations batch) after it
        const char* log;      // a message it logs, "" for none
    };
    struct case_t {
        const char* label;
        std::vector<chunk_t> chunks;
    } cases[] = {
        {"one chunk", {{R"({"cmd":"callgroups","off":0,"data":"{\"1\":[\"2\"]}"})", "1:[2]", ""}}},
        {"three chunks",
         {{R"({"cmd":"callgroups","off":0,"data":"{\"1\":"})", "", ""},
          {R"({"cmd":"callgroups","off":5,"data":"[\"2\","})", "", ""},
          {R"({"cmd":"callgroups","off":10,"data":"\"3\"]}"})", "1:[2][3]", ""}}},
        {"a gap ends the transfer",
         {{R"({"cmd":"callgroups","off":0,"data":"{\"1\":"})", "", ""},
          {R"({"cmd":"callgroups","off":9,"data":"[\"2\"]}"})", "", "callgroups: invalid offset 9 (expected 5)"},
          {R"({"cmd":"callgroups","off":5,"data":"[\"2\"]}"})", "", "callgroups: invalid offset 5 (expected 0)"}}},
        {"a repeated chunk ends a call-group transfer",
         {{R"({"cmd":"callgroups","off":0,"data":"{\"1\":"})", "", ""},
          {R"({"cmd":"callgroups","off":5,"data":"[\"2\","})", "", ""},
          {R"({"cmd":"callgroups","off":5,"data":"[\"2\","})", "", "callgroups: invalid offset 5 (expected 10)"},
          {R"({"cmd":"callgroups","off":10,"data":"\"3\"]}"})", "",
           "callgroups: invalid offset 10 (expected 0)"}}},
        {"a repeated chunk leaves a registrations transfer intact",
         {{R"({"cmd":"registrations","off":0,"data":"[{\"a\":"})", "", ""},
          {R"({"cmd":"registrations","off":6,"data":"1},"})", "", ""},
          {R"({"cmd":"registrations","off":6,"data":"1},"})", "", "registrations: invalid offset 6 (expected 9)"},
          {R"({"cmd":"registrations","off":9,"data":"{\"b\":2}]"})", "regs 2", "--> registrations updated."}}},
        {"a registrations chunk without an offset ends its transfer",
         {{R"({"cmd":"registrations","off":0,"data":"[{\"a\":"})", "", ""},
          {R"({"cmd":"registrations","data":"1}]"})", "", "registrations: invalid offset -1 (expected 6)"},
          {R"({"cmd":"registrations","off":6,"data":"1}]"})", "",
           "registrations: invalid offset 6 (expected 0)"}}},
        {"offset 0 starts again in the middle of a transfer",
         {{R"({"cmd":"callgroups","off":0,"data":"{\"1\":"})", "", ""},
          {R"({"cmd":"callgroups","off":0,"data":"{\"4\":"})", "", ""},
          {R"({"cmd":"callgroups","off":5,"data":"[\"5\"]}"})", "4:[5]", ""}}},
        {"a chunk without data keeps the buffer",
         {{R"({"cmd":"routes","off":0,"data":"[{\"p\":\"^sip:9\","})", "", ""},
          {R"({"cmd":"routes","off":15,"data":7})", "", "error: 'routes' command without a data chunk"},
          {R"({"cmd":"routes","off":15,"data":"\"o\":1,\"t\":\"sip:a@x\"}]"})", "route 1 ^sip:9 -> sip:a@x",
           ""}}},
        {"a prefix that parses is applied; the rest no longer fits",
         {{R"({"cmd":"callgroups","off":0,"data":"{\"1\":[\"2\"]}"})", "1:[2]", ""},
          {R"({"cmd":"callgroups","off":11,"data":"{\"3\":[\"4\"]}"})", "1:[2]",
           "callgroups: invalid offset 11 (expected 0)"}}},
        {"commands have their own buffers",
         {{R"({"cmd":"callgroups","off":0,"data":"{\"1\":"})", "", ""},
          {R"({"cmd":"registrations","off":0,"data":"[]"})", "regs 0", "--> registrations updated."},
          {R"({"cmd":"callgroups","off":5,"data":"[\"2\"]}"})", "1:[2]regs 0", ""}}},
    };
    RegSyncThread agent;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        repro_proxy_chunks_reset();
        repro_update_callgroups(JsonValue());
        repro_update_routes(parsed("[]"));
        regsync_set_target(&agent);
        {
            MutexLock g(agent.mutex);
            agent.pending = JsonValue();
        }
        int i = 0;
        for (const auto& chunk : c.chunks) {
            SCOPED_TRACE(++i);
            LogCapture log;
            repro_proxy_chunk(parsed(chunk.command));
            std::string applied = groups_text();
            {
                MutexLock g(agent.mutex);
                if (agent.pending.kind == JSON_ARRAY)
                    applied += "regs " + std::to_string(agent.pending.items.size());
            }
            std::string routes = routesText();
            if (!routes.empty())
                applied += "route " + routes;
            EXPECT_EQ(applied, chunk.applied);
            if (*chunk.log) {
                EXPECT_TRUE(log.contains(chunk.log)) << ::testing::PrintToString(log.all());
            } else {
                EXPECT_TRUE(log.all().empty()) << ::testing::PrintToString(log.all());
            }
        }
    }
    regsync_set_target(nullptr);
}

TEST_F(ProxyTablesTest, RegistrationsWithoutTheAgentAreDropped)
{
    LogCapture log;
    repro_proxy_chunk(parsed(R"({"cmd":"registrations","off":0,"data":"[]"})"));
    EXPECT_TRUE(log.contains("registrations: no registration-sync agent, batch dropped"));
    EXPECT_FALSE(log.contains("registrations updated"));
}

}  // namespace
