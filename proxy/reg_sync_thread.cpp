#include "proxy/reg_sync_thread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>

#include "core/crc.h"
#include "core/epoller.h"
#include "core/log.h"
#include "mgmt/var_store.h"
#include "proxy/reg_sync_agent.h"
#include "proxy/regdb.h"
#include "sip/proxy/xml_tree.h"

RegSyncThread* regSyncThread = nullptr;

namespace {

const std::string* text_of(const JsonValue& o, const char* key)
{
    const JsonValue* v = o.find(key);
    return v && v->kind == JSON_STRING ? &v->text : nullptr;
}

const JsonValue* integer_of(const JsonValue& o, const char* key)
{
    const JsonValue* v = o.find(key);
    return v && v->kind == JSON_INTEGER ? v : nullptr;
}

void publish_contact(const std::string& aor, const ContactInfo& c, int h, int l, int i, uint64_t now)
{
    JsonValue v;
    v["aor"].setString(aor);
    v["co"].setString(c.contacturi);
    JsonValue& ex = v["ex"];
    ex.kind = JSON_INTEGER;
    ex.integer = static_cast<int32_t>(static_cast<uint32_t>(c.expires - now));
    JsonValue& lu = v["lu"];
    lu.kind = JSON_INTEGER;
    lu.integer = static_cast<int32_t>(static_cast<uint32_t>(now - c.lastupdate));
    if (!c.regid.empty())
        v["id"].setString(c.regid);
    if (!c.instance.empty())
        v["in"].setString(c.instance);
    if (!c.publicaddress.empty())
        v["pa"].setString(c.publicaddress);
    if (!c.receivedfrom.empty())
        v["fr"].setString(c.receivedfrom);
    if (!c.sippath.empty()) {
        JsonValue& path = v["path"];
        path.kind = JSON_ARRAY;
        for (const auto& p : c.sippath) {
            JsonValue e;
            e.setString(p);
            path.items.push_back(std::move(e));
        }
    }
    poller_publish_var(".3." + std::to_string(h) + "." + std::to_string(l) + "." + std::to_string(i) + ".0",
                       MyVarValue(v.toString(0)));
}

// Texts with control characters could not be written into the records' XML
// (the database file would no longer load).
bool storable(const std::string& aor, const JsonValue& contacts)
{
    if (sipproxy::xml_has_control(aor))
        return false;
    if (contacts.kind != JSON_ARRAY)
        return true;
    for (const auto& o : contacts.items) {
        for (const char* key : {"co", "id", "in", "pa", "fr"})
            if (const std::string* t = text_of(o, key); t && sipproxy::xml_has_control(*t))
                return false;
        if (const JsonValue* p = o.find("path"); p && p->kind == JSON_ARRAY)
            for (const auto& e : p->items)
                if (e.kind == JSON_STRING && sipproxy::xml_has_control(e.text))
                    return false;
    }
    return true;
}

int listen_socket(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        LOG(LOGF_GENERAL, 3, "cannot create socket: %s", strerror(errno));
        return -1;
    }
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        LOG(LOGF_WEB, 3, "cannot set socket option: %s", strerror(errno));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        LOG(LOGF_GENERAL, 3, "cannot bind socket: %s", strerror(errno));
        close(s);
        return -1;
    }
    if (listen(s, 5) != 0) {
        LOG(LOGF_GENERAL, 3, "cannot listen socket: %s", strerror(errno));
        close(s);
        return -1;
    }
    return s;
}

}  // namespace

void publish_reginfo(const RegInfo& record)
{
    uint64_t now = reg_now();
    int h = 255, l = 255;
    if (!record.aor.empty()) {
        uint16_t crc = 0xFFFF;
        for (unsigned char ch : record.aor)
            crc = crc16_update(crc, ch);
        h = crc >> 8 ? crc >> 8 : 1;
        l = crc & 0xFF ? crc & 0xFF : 1;
    }
    int i = 0;
    for (const auto& c : record.contacts) {
        if (++i > 255)
            break;
        publish_contact(record.aor, *c, h, l, i, now);
    }
}

void RegSyncThread::start(int p)
{
    running = true;
    save = false;
    port = p;
    pending = JsonValue();
    ready = false;
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err)
        LOG(LOGF_GENERAL, 3, "pthread_attr_init() error: %d", err);
    if (!err && (err = pthread_attr_setstacksize(&attr, 1024 * 1024)) != 0)
        LOG(LOGF_GENERAL, 3, "pthread_attr_setstacksize() error: %d", err);
    err = pthread_create(&thread, &attr, &RegSyncThread::entry, this);
    pthread_attr_destroy(&attr);
    if (err) {
        LOG(LOGF_GENERAL, 3, "cannot create RegSyncServer thread: error %d", err);
        running = false;
        return;
    }
    started = true;
    regsync_set_target(this);
    std::unique_lock<std::mutex> g(ready_lock);
    ready_cv.wait(g, [this] { return ready; });
}

void RegSyncThread::stop()
{
    regsync_set_target(nullptr);
    running = false;
    if (started)
        pthread_join(thread, nullptr);
    started = false;
    MutexLock g(mutex);
    pending = JsonValue();
}

void RegSyncThread::requestSave() { save = true; }

void RegSyncThread::postRegistrations(JsonValue& batch)
{
    MutexLock g(mutex);
    pending.swap(batch);
}

void* RegSyncThread::entry(void* self)
{
    static_cast<RegSyncThread*>(self)->run();
    return nullptr;
}

void RegSyncThread::run()
{
    epoller_init();
    {
        std::lock_guard<std::mutex> g(ready_lock);
        ready = true;
    }
    ready_cv.notify_all();
    regdb_load();

    // Without its server the agent still runs the loop: the media proxy is
    // served on it too.
    std::unique_ptr<Server> srv;
    if (int s = listen_socket(port); s >= 0)
        srv = std::make_unique<Server>(s);
    auto client = std::make_unique<Client>(clientPort);
    server = srv.get();
    while (running) {
        epoller_poll(500);
        if (save) {
            regdb_save();
            save = false;
        }
        client->checkConnect();
        MutexLock g(mutex);
        if (pending.kind != JSON_HASH || !pending.members.empty()) {
            merge(pending);
            pending = JsonValue();
            pending.kind = JSON_HASH;
        }
    }
    server = nullptr;
    client.reset();
    srv.reset();
    epoller_done();
}

void RegSyncThread::merge(const JsonValue& batch)
{
    if (batch.kind != JSON_HASH)
        return;
    uint64_t now = reg_now();
    for (const auto& [aor, contacts] : batch.members) {
        auto info = std::make_unique<RegInfo>();
        info->aor = aor;
        if (!storable(aor, contacts)) {
            LOG(LOGF_WEB, 4, "registrations: a record with control characters refused");
            continue;
        }
        if (contacts.kind == JSON_ARRAY) {
            for (const auto& o : contacts.items) {
                auto c = std::make_unique<ContactInfo>();
                if (const std::string* t = text_of(o, "co"))
                    c->contacturi = *t;
                if (const JsonValue* v = integer_of(o, "ex"))
                    c->expires = now + static_cast<uint64_t>(static_cast<int64_t>(v->integer));
                if (const JsonValue* v = integer_of(o, "lu"))
                    c->lastupdate = now - static_cast<uint64_t>(static_cast<int64_t>(v->integer));
                if (const std::string* t = text_of(o, "id"))
                    c->regid = *t;
                if (const std::string* t = text_of(o, "in"))
                    c->instance = *t;
                if (const std::string* t = text_of(o, "pa"))
                    c->publicaddress = *t;
                if (const std::string* t = text_of(o, "fr"))
                    c->receivedfrom = *t;
                if (const JsonValue* p = o.find("path"); p && p->kind == JSON_ARRAY)
                    for (const auto& e : p->items)
                        if (e.kind == JSON_STRING)
                            c->sippath.push_back(e.text);
                info->contacts.push_back(std::move(c));
            }
        }
        std::ostringstream text;
        info->write(text);
        regDataBase.addRegInfo(std::move(info));
        if (server)
            server->broadcast(text.str());
    }
}
