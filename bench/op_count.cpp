// Instruction counts of the hot paths, for callgrind: each operation is set
// up, then run N times inside one function, measured_loop, that callgrind is
// told to collect alone (--toggle-collect=measured_loop). The collected count
// divided by N is the operation's cost, free of set-up and of the run's
// length, and the same on every machine of one architecture: on an emulator
// as on the board.
//
//   op_count OPERATION N
//
// OPERATION is one of the names in kOperations below.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <openssl/aes.h>

#include "core/fifo.h"
#include "core/platform.h"
#include "frames/decode.h"
#include "frames/seal.h"
#include "frames/window.h"
#include "lifecycle.h"
#include "osl.h"
#include "report_builder.h"
#include "sim/hci_sim.h"

namespace {

const uint8_t kKey[OSL_KEY_SIZE] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                    0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

// A RELAY frame's payload, as in seal_bench.
const uint8_t kPlain[OSL_SEALED_SIZE] = {0x10, 0x32, 0x54, 0x76, 20,   213,  30, 0x05,
                                         23,   140,  0x0c, 0x80, 0x0b, 0xb8, 2,  1,
                                         20,   0,    0,    0,    0,    0,    0,  0};

// Working data of every operation, set up before the measured loop. Volatile
// sinks keep the compiler from dropping work whose result nobody reads.
struct Fixture {
    uint8_t sealed[OSL_SEALED_SIZE];
    uint8_t payload[OSL_SEALED_SIZE];
    uint8_t block[OSL_BLOCK_SIZE];
    osl_aes_key key;
    AES_KEY ossl_enc, ossl_dec;
    uint8_t event[OSL_RX_SLOT_SIZE];
    uint8_t tick_events[OSL_TICK_READS_MAX][OSL_RX_SLOT_SIZE];
};
Fixture fx;
volatile int sink;

// ---- the operations: one call is one unit of the count ----

// An accepted frame's unsealing with the key expanded once, as the decoder
// has it for the sensor key and registered actors: tag check, decryption,
// unwhitening.
void unseal(Fixture &f) {
    memcpy(f.payload, f.sealed, sizeof f.payload);
    int result = osl_unseal_check_with(f.payload, &f.key);
    if (result == 0)
        osl_unseal_open_with(f.payload, &f.key);
    sink = result + f.payload[0];
}

// The same with the key given as bytes, expanded anew for each half.
void unseal_fresh_key(Fixture &f) {
    memcpy(f.payload, f.sealed, sizeof f.payload);
    sink = osl_unseal(f.payload, kKey) + f.payload[0];
}

// OpenSSL's table-based AES (hand-written assembly on ARM) doing the same two
// block operations: encrypt the sealed bytes for the tag, decrypt them; the
// whitening is left out, in its favour.
void openssl_unseal(Fixture &f) {
    AES_encrypt(f.sealed, f.block, &f.ossl_enc);
    int result = memcmp(f.block + 2, f.sealed + OSL_SEALED_TAG, 1); // as a tag check begins
    AES_decrypt(f.sealed, f.payload, &f.ossl_dec);
    sink = result + f.payload[0];
}

void openssl_unseal_fresh_key(Fixture &f) {
    AES_set_encrypt_key(kKey, 128, &f.ossl_enc);
    AES_encrypt(f.sealed, f.block, &f.ossl_enc);
    int result = memcmp(f.block + 2, f.sealed + OSL_SEALED_TAG, 1);
    AES_set_decrypt_key(kKey, 128, &f.ossl_dec);
    AES_decrypt(f.sealed, f.payload, &f.ossl_dec);
    sink = result + f.payload[0];
}

void seal(Fixture &f) {
    memcpy(f.payload, kPlain, sizeof f.payload);
    osl_seal_with(f.payload, &f.key);
    sink = f.payload[0];
}

// A sensor frame accepted by the decoder: tag check, repeat scan of an empty
// window, unsealing, the record queued; the queue is emptied again.
void decode_accepted(Fixture &f) {
    osl_rx_index = 0;
    memcpy(osl_rx_slots[0], f.event, OSL_RX_SLOT_SIZE);
    sink = osl_frame_decode(osl_rx_slots[0], osl::frame::REPORT_STD_SIZE, &osl_fifo);
    osl_fifo_flush(&osl_fifo);
}

// The tick at the design maximum: ten new sealed frames from one address
// read and accepted into a window that holds 90, each compared with every
// earlier frame (so every comparison runs on into the tag). The reports are
// handed to the simulated controller and the window rewound around each tick
// so that every tick does the same work; that share is small and counted too.
void tick_full_window(Fixture &f) {
    auto &sim = osl::sim::Controller::get();
    osl_rx_index = OSL_RX_SLOTS - OSL_TICK_READS_MAX;
    osl_rx_countdown = OSL_RX_WINDOW_TICKS;
    osl_fifo_flush(&osl_fifo);
    for (auto &e : f.tick_events)
        sim.deliver(e, osl::frame::REPORT_STD_SIZE);
    osl_timer_handler(SIGALRM);
}

// ---- set-up ----

void open_library() {
    static char dir[] = "/tmp/osl-count-XXXXXX";
    static char lock[sizeof dir + 4];
    if (mkdtemp(dir) == nullptr)
        abort();
    snprintf(lock, sizeof lock, "%s/osl", dir);
    osl_lock_path = lock;
    osl_timer = &osl::sim::hand_timer;
    osl::sim::Controller::get().reset();
    osl::sim::Controller::get().install();
    if (osl_bt_open(0, 0, 0, 0) != 0)
        abort();
}

void prepare_tick(Fixture &f) {
    open_library();
    auto &sim = osl::sim::Controller::get();
    constexpr int EARLIER = OSL_RX_SLOTS - OSL_TICK_READS_MAX;
    osl_rx_index = 0;
    for (int i = 0; i < EARLIER; i++) {
        osl::bench::meteo_report(f.event, 0, 5000 + static_cast<uint32_t>(i));
        sim.deliver(f.event, osl::frame::REPORT_STD_SIZE);
        osl_timer_handler(SIGALRM);
        osl_fifo_flush(&osl_fifo);
    }
    if (osl_rx_index != EARLIER) {
        fprintf(stderr, "op_count: the earlier frames did not fill the window\n");
        exit(1);
    }
    for (int i = 0; i < OSL_TICK_READS_MAX; i++)
        osl::bench::meteo_report(f.tick_events[i], 0, 1000 + static_cast<uint32_t>(i));
}

// The tick must have accepted all ten; anything else measured a shorter path.
bool tick_accepted_all() {
    return osl_rx_index == OSL_RX_SLOTS &&
           osl_fifo_used(&osl_fifo) == OSL_TICK_READS_MAX * OSL_REC_SIZE;
}

struct Operation {
    const char *name;
    void (*run)(Fixture &);
};

const Operation kOperations[] = {
    {"unseal", unseal},
    {"unseal_fresh_key", unseal_fresh_key},
    {"openssl_unseal", openssl_unseal},
    {"openssl_unseal_fresh_key", openssl_unseal_fresh_key},
    {"seal", seal},
    {"decode_accepted", decode_accepted},
    {"tick_full_window", tick_full_window},
};

} // namespace

// The only function callgrind collects; kept out of line, with C linkage, so
// that its name is the same for every compiler.
extern "C" __attribute__((noinline)) void measured_loop(void (*run)(Fixture &), long n) {
    for (long i = 0; i < n; i++)
        run(fx);
}

int main(int argc, char **argv) {
    const Operation *op = nullptr;
    if (argc == 3)
        for (const auto &o : kOperations)
            if (strcmp(argv[1], o.name) == 0)
                op = &o;
    long n = argc == 3 ? strtol(argv[2], nullptr, 10) : 0;
    if (op == nullptr || n <= 0) {
        fprintf(stderr, "usage: %s OPERATION N\noperations:", argv[0]);
        for (const auto &o : kOperations)
            fprintf(stderr, " %s", o.name);
        fprintf(stderr, "\n");
        return 2;
    }

    memcpy(fx.sealed, kPlain, sizeof fx.sealed);
    osl_seal(fx.sealed, kKey);
    osl_aes_key_expand(kKey, &fx.key);
    AES_set_encrypt_key(kKey, 128, &fx.ossl_enc);
    AES_set_decrypt_key(kKey, 128, &fx.ossl_dec);
    osl_fifo_init(&osl_fifo, osl_fifo_storage, OSL_FIFO_CAPACITY);
    osl::bench::meteo_report(fx.event, 0x01, 1000);
    const bool tick = op->run == tick_full_window;
    if (tick)
        prepare_tick(fx);

    measured_loop(op->run, n);

    // Each operation must have taken its full path on the last run.
    bool ok = true;
    if (op->run == unseal || op->run == unseal_fresh_key)
        ok = memcmp(fx.payload, kPlain, OSL_BLOCK_SIZE) == 0;
    else if (op->run == decode_accepted)
        ok = sink == OSL_REC_SIZE; // a record queued
    else if (tick)
        ok = tick_accepted_all();
    if (tick)
        osl_bt_close();
    if (!ok) {
        fprintf(stderr, "op_count: %s did not take its full path\n", op->name);
        return 1;
    }
    printf("op_count: %s x %ld\n", op->name, n);
    return 0;
}
