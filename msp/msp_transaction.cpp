#include "msp/msp_transaction.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "core/channel_table.h"
#include "core/interrupt.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/main_thread.h"
#include "core/mutex.h"
#include "core/scheduler.h"
#include "core/watchdog.h"
#include "msp/msp_names.h"

std::atomic<int> msp_socket{-1};
MspAddress msp_address = msp_address_make(0);

namespace {

struct MspTransaction {
    std::unique_ptr<Interrupt> waiter;   // synchronous transactions off the main thread only
    uint8_t* response = nullptr;
    int* responseLength = nullptr;
    MspCompletionCallback callback = nullptr;
    void* userData = nullptr;
    const void* owner = nullptr;   // asynchronous transactions of a channel
    bool done = false;
    int resends = 0;
};

// Guards the table and the counter; never held while waiting or in a callback.
Mutex msp_transactions_mutex;
std::map<uint32_t, MspTransaction*> msp_transactions;
uint32_t msp_transaction_index = 0;

std::atomic<MspIndicationHandler> indication_handler{nullptr};
std::atomic<int> answer_window_ms{750};
std::atomic<bool> abandon_on_stop{false};

bool abandoned() { return abandon_on_stop.load() && shutdown_requested.load() != 0; }

int send_to(uint16_t channelId, const uint8_t* message, int length)
{
    MspAddress address = msp_address;
    msp_address_set_channel(address, channelId);
    return msp_socket_send(msp_socket.load(), address.bytes, message, static_cast<size_t>(length));
}

bool length_ok(const uint8_t* m, int length)
{
    if (length % 4 != 0) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): message is not 32-bits-aligned");
        return false;
    }
    if (static_cast<int>(msp_round4(m[0])) != length) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): invalid command length value (len=%d, fifo=%d)", m[0], length);
        return false;
    }
    return true;
}

// Steps shared by the synchronous and the asynchronous form: choose the id,
// send and insert, all under the mutex so that the reader never sees an
// answer before its transaction is in the table. Returns the id or -1.
int64_t start_transaction(uint16_t channelId, uint8_t* m, int length, MspTransaction* t)
{
    uint16_t fc = msp_message_fc(m);
    MutexLock lock(msp_transactions_mutex);
    int64_t id = -1;
    for (int tries = 0; tries < 255; ++tries) {
        uint32_t value = msp_transaction_index++;
        uint32_t candidate = msp_transaction_id(static_cast<uint8_t>(value & 0xFF), fc);
        if (!msp_transactions.count(candidate)) {
            id = candidate;
            break;
        }
    }
    if (id < 0) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): transaction ID not found");
        return -1;
    }
    m[1] = static_cast<uint8_t>(id & 0xFF);
    if (send_to(channelId, m, length) < 0) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): sendto error: %s", strerror(errno));
        return -1;
    }
    if (!msp_transactions.emplace(static_cast<uint32_t>(id), t).second) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): internal error (cannot insert transaction)!");
        return -1;
    }
    return id;
}

// Removes the transaction unless the reader already delivered its answer.
// True when the answer is there.
bool finish_wait(uint32_t id, MspTransaction& t)
{
    MutexLock lock(msp_transactions_mutex);
    if (t.done)
        return true;
    auto it = msp_transactions.find(id);
    if (it != msp_transactions.end() && it->second == &t)
        msp_transactions.erase(it);
    return false;
}

bool resend(uint16_t channelId, const uint8_t* m, int length, MspTransaction& t)
{
    ++t.resends;
    if (send_to(channelId, m, length) < 0) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): sendto error: %s", strerror(errno));
        return false;
    }
    return true;
}

// Off the main thread: the main thread reads the answer and signals us.
bool wait_other_thread(uint16_t channelId, const uint8_t* m, int length, MspTransaction& t)
{
    for (;;) {
        int r = t.waiter->wait(answer_window_ms.load());
        if (r == 0)
            return true;
        if (r < 0)
            return false;
        if (t.resends >= MSP_MAX_RESENDS || !resend(channelId, m, length, t))
            return false;
    }
}

// On the main thread: nobody else reads the socket, so serve it and the
// channel descriptors here until the answer is in. Timers and queued events
// wait for the main loop.
bool wait_main_thread(uint16_t channelId, const uint8_t* m, int length, MspTransaction& t)
{
    const uint32_t window = static_cast<uint32_t>(answer_window_ms.load());
    uint32_t sent = sched_get_time_ms();
    for (;;) {
        if (abandoned())
            return false;
        uint32_t elapsed = sched_get_time_ms() - sent;
        if (elapsed > window) {
            if (t.resends >= MSP_MAX_RESENDS || !resend(channelId, m, length, t))
                return false;
            sent = sched_get_time_ms();
            elapsed = 0;
        }
        // A copy: nested waits poll the same set and would overwrite revents.
        pollfd fds[POLLFD_MSP + 1];
        for (int i = 0; i < POLLFD_MSP; ++i)
            fds[i] = {main_pollfds[i].fd, POLLIN, 0};
        fds[POLLFD_MSP] = {msp_socket.load(), POLLIN, 0};
        int n = poll(fds, POLLFD_MSP + 1, static_cast<int>(window - elapsed));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            LOG(LOGF_GENERAL, 3, "MSP socket poll failed: %s", strerror(errno));
            return false;
        }
        for (int i = 0; i < POLLFD_MSP; ++i)
            if (fds[i].fd >= 0 && (fds[i].revents & POLLIN))
                channel_process_fd(i);  // never throws: the transaction lives on this stack
        if (fds[POLLFD_MSP].revents & POLLIN)
            comcerto_process_socket();
        if (t.done)
            return true;
        if (n == 0)
            return false;
        watchdog_conditional_kick();
    }
}

int response_result(uint16_t fc, const uint8_t* r, int copied)
{
    if (copied < 6) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): response is too short (%d bytes)", copied);
        return -1;
    }
    switch (r[2]) {
    case MSP_CLASS_MANAGEMENT:
    case MSP_CLASS_MANAGEMENT_RESPONSE:
    case MSP_CLASS_IRM_RESPONSE:
    case MSP_CLASS_QUERY_RESPONSE:
        return 0;
    case MSP_CLASS_RESPONSE:
        break;
    default:
        return -1;
    }
    if (copied < 10) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): response is too short (%d bytes)", copied);
        return -1;
    }
    uint16_t status = msp_get_u16(r, 8);
    if (status == 0)
        return 0;
    char fcText[8];
    const char* fcName = msp_fc_name(fc);
    if (!fcName) {
        snprintf(fcText, sizeof fcText, "0x%04x", fc);
        fcName = fcText;
    }
    const MspErrorCode* error = msp_error(status);
    LOG(LOGF_GENERAL, 3, "!!!!! function %s (0x%04x): error %s (0x%04x):", fcName, fc,
        error ? error->name : "UNKNOWN_ERROR_CODE", status);
    LOG(LOGF_GENERAL, 3, "%s", error ? error->description : "Unknown error");
    return -static_cast<int>(status);
}

void deliver_response(const uint8_t* m, int length, uint16_t channelId)
{
    uint32_t id = msp_message_transaction_id(m);
    msp_transactions_mutex.lock();
    auto it = msp_transactions.find(id);
    if (it == msp_transactions.end()) {
        msp_transactions_mutex.unlock();
        uint16_t w[6] = {};
        for (int i = 0; i < 6 && 2 * i + 1 < length; ++i)
            w[i] = msp_get_u16(m, 2 * i);
        LOG(LOGF_GENERAL, 3,
            "comcerto_process_socket(): channel 0x%04x: transaction 0x%06x not found (%04x %04x %04x %04x %04x %04x)",
            channelId, id, w[0], w[1], w[2], w[3], w[4], w[5]);
        return;
    }
    MspTransaction* t = it->second;
    msp_transactions.erase(it);
    if (t->callback) {
        msp_transactions_mutex.unlock();
        t->callback(m, length, t->userData);
        delete t;
        return;
    }
    // Copy, flag and signal under the mutex: a waiter giving up at this
    // moment checks the flag under the same mutex before it leaves.
    int copied = length < *t->responseLength ? length : *t->responseLength;
    if (copied < 0)
        copied = 0;
    memcpy(t->response, m, static_cast<size_t>(copied));
    *t->responseLength = copied;
    t->done = true;
    if (t->waiter)
        t->waiter->signal();
    msp_transactions_mutex.unlock();
}

}  // namespace

int DEV_PassThru(uint16_t channelId, void* message, int length, void* response, int* responseLength)
{
    auto* m = static_cast<uint8_t*>(message);
    if (!m) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): pucBuffer is NULL");
        return -1;
    }
    if (!length_ok(m, length))
        return -1;
    if (abandoned() && on_main_thread())
        return -1;
    uint16_t fc = msp_message_fc(m);
    const bool main_thread = on_main_thread();
    MspTransaction t;
    // The main thread reads the answer itself; only another thread needs a
    // pipe to be woken by.
    if (!main_thread) {
        t.waiter = std::make_unique<Interrupt>();
        if (t.waiter->readFd() < 0)
            return -1;   // the Interrupt logged why
    }
    t.response = static_cast<uint8_t*>(response);
    t.responseLength = responseLength;
    int64_t started = start_transaction(channelId, m, length, &t);
    if (started < 0)
        return -1;
    uint32_t id = static_cast<uint32_t>(started);
    bool answered = main_thread ? wait_main_thread(channelId, m, length, t)
                                : wait_other_thread(channelId, m, length, t);
    if (!finish_wait(id, t) && !answered) {
        LOG(LOGF_GENERAL, 3, "DEV_PassThru(): timeout in transaction 0x%06x", id);
        return -1;
    }
    return response_result(fc, t.response, *t.responseLength);
}

int msp_passthru_async(uint16_t channelId, void* message, int length, MspCompletionCallback callback,
                       void* userData)
{
    return msp_passthru_async_owned(nullptr, channelId, message, length, callback, userData);
}

int msp_passthru_async_owned(const void* owner, uint16_t channelId, void* message, int length,
                             MspCompletionCallback callback, void* userData)
{
    auto* m = static_cast<uint8_t*>(message);
    if (!m || !length_ok(m, length))
        return -1;
    auto* t = new MspTransaction;
    t->callback = callback;
    t->userData = userData;
    t->owner = owner;
    int64_t id = start_transaction(channelId, m, length, t);
    if (id < 0) {
        delete t;
        return -1;
    }
    return static_cast<int>(id);
}

void comcerto_cancel_transaction(uint32_t id)
{
    MspTransaction* freed = nullptr;
    {
        MutexLock lock(msp_transactions_mutex);
        auto it = msp_transactions.find(id);
        if (it == msp_transactions.end())
            return;
        if (it->second->callback)
            freed = it->second;
        msp_transactions.erase(it);
    }
    delete freed;
}

void msp_cancel_transactions_of(const void* owner)
{
    if (!owner)
        return;
    std::vector<MspTransaction*> freed;
    {
        MutexLock lock(msp_transactions_mutex);
        for (auto it = msp_transactions.begin(); it != msp_transactions.end();) {
            if (it->second->callback && it->second->owner == owner) {
                freed.push_back(it->second);
                it = msp_transactions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto* t : freed)
        delete t;
}

void comcerto_process_socket()
{
    uint8_t m[MSP_MAX_MESSAGE];
    for (;;) {
        MspAddress address;
        ssize_t n = msp_socket_recv(msp_socket.load(), m, sizeof m, address.bytes);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                LOG(LOGF_GENERAL, 3, "comcerto_process_socket() error: %s", strerror(errno));
            return;
        }
        int length = static_cast<int>(n);
        if (length < static_cast<int>(MSP_HEADER_SIZE)) {
            LOG(LOGF_GENERAL, 3, "comcerto_process_socket(): message too short: %d bytes", length);
            continue;
        }
        uint16_t channelId = msp_address_channel(address);
        switch (msp_message_kind(m[2], m[3])) {
        case MspMessageKind::Response:
            deliver_response(m, length, channelId);
            break;
        case MspMessageKind::Indication:
        case MspMessageKind::Diagnostic:
            if (MspIndicationHandler h = indication_handler.load())
                h(m, length, channelId);
            break;
        case MspMessageKind::Unknown:
            LOG(LOGF_GENERAL, 3, "comcerto_process_socket(): unknown message type 0x%02x", m[2]);
            break;
        }
    }
}

void msp_set_indication_handler(MspIndicationHandler handler) { indication_handler.store(handler); }

void msp_set_answer_window(int ms) { answer_window_ms.store(ms); }

void msp_set_abandon_on_stop(bool on) { abandon_on_stop.store(on); }

int msp_answer_window() { return answer_window_ms.load(); }

size_t msp_pending_transactions()
{
    MutexLock lock(msp_transactions_mutex);
    return msp_transactions.size();
}

void msp_transactions_reset()
{
    MutexLock lock(msp_transactions_mutex);
    for (auto it = msp_transactions.begin(); it != msp_transactions.end();) {
        if (it->second->callback)
            delete it->second;
        it = msp_transactions.erase(it);
    }
    msp_transaction_index = 0;
}
