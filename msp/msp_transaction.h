// Commands to the media processor and the matching of its answers: the
// transaction table, DEV_PassThru (any thread), asynchronous commands with
// completion callbacks, and the response side of the control-socket reader.
#pragma once

#include <atomic>
#include <cstdint>

#include "msp/msp_protocol.h"

// Runs on the main thread, from comcerto_process_socket, with the answer as
// received.
using MspCompletionCallback = void (*)(const uint8_t* response, int length, void* userData);

// The control socket; -1 while closed.
extern std::atomic<int> msp_socket;
// The address every send copies; filled once at start-up.
extern MspAddress msp_address;

// Sends one command to channelId and waits for its answer. On the main thread
// the wait serves main_pollfds 0..255 (channel processFd) and the control
// socket itself, and kicks the watchdog conditionally; elsewhere it waits for
// the main thread to deliver the answer. Returns 0, the
// negative status the media processor refused it with, or -1.
// *responseLength holds the buffer's capacity and receives the copied length.
int DEV_PassThru(uint16_t channelId, void* message, int length, void* response, int* responseLength);

// Sends one command without waiting. Returns its transaction id or -1; the
// callback runs on the main thread when the answer comes. No time-out, no
// resend: a caller that gives up cancels the transaction.
int msp_passthru_async(uint16_t channelId, void* message, int length, MspCompletionCallback callback,
                       void* userData);

// As msp_passthru_async, on behalf of owner (a channel), so that every
// command still in flight for it can be cancelled when it goes away.
int msp_passthru_async_owned(const void* owner, uint16_t channelId, void* message, int length,
                             MspCompletionCallback callback, void* userData);

// Removes the transaction; an asynchronous one is freed and its callback
// never runs, a synchronous one is left to its waiting caller.
void comcerto_cancel_transaction(uint32_t id);

// Cancels every asynchronous transaction of owner.
void msp_cancel_transactions_of(const void* owner);

// Reads datagrams until the socket is empty: answers complete their
// transactions, indications and diagnostics go to the indication handler.
// Main thread only.
void comcerto_process_socket();

// The indication side of the reader registers here (class 0x03, and class
// 0x75 type 0xC1); channelId is the one from the datagram's address.
using MspIndicationHandler = void (*)(const uint8_t* message, int length, uint16_t channelId);
void msp_set_indication_handler(MspIndicationHandler handler);

// Answer window and resends: 750 ms and 4 on the board; tests shorten the window.
void msp_set_answer_window(int ms);
int msp_answer_window();
constexpr int MSP_MAX_RESENDS = 4;

// While on, a stop request (shutdown_requested) ends a wait of the main
// thread as a time-out and fails later commands before they are sent: the
// device start-up does not keep a stopping daemon waiting on a silent media
// processor. Off at shutdown, whose own commands must go out.
void msp_set_abandon_on_stop(bool on);

// Number of pending transactions (tests and diagnostics).
size_t msp_pending_transactions();
// Drops every pending asynchronous transaction and resets the index counter;
// for tests that start from a clean table.
void msp_transactions_reset();
