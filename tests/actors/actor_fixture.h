// The library opened on the simulated controller with one actor of each kind
// registered and the transmit lamp on a scratch GPIO tree, for the tests of
// the command transmitter and the actor operations.
//
// Commands the controller received are opened here with a cipher of the
// tests' own (OpenSSL's AES and the whitening written out again), so that a
// fault in the library's sealing cannot hide behind the same code on both
// sides. A port that wraps the simulator's notes the library's state at every
// command request and every switch of advertising.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "actors/registry.h"
#include "core/adapter.h"
#include "core/log.h"
#include "core/hci_port.h"
#include "core/pace.h"
#include "core/platform.h"
#include "osl.h"
#include "support/capture.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

namespace osl::test {

// An actor as the application registers it.
struct Actor {
    const char *name;
    const char *addr; // 12 digits, most significant byte first
    const char *key;  // 32 digits
    uint8_t type;
};

// Each table holds a decoy first, so the actors under test sit at index 1
// and a command built from the wrong entry shows in its address and key.
inline constexpr Actor RELAY_DECOY = {"porch", "A00000000001", "11111111111111111111111111111111",
                                      OSL_DEV_RELAY};
inline constexpr Actor DIMMER_DECOY = {"desk", "A00000000002", "22222222222222222222222222222222",
                                       OSL_DEV_DIMMER};
inline constexpr Actor PWM_DECOY = {"fan", "A00000000003", "33333333333333333333333333333333",
                                    OSL_DEV_PWM};
inline constexpr Actor RELAY = {"hall", "CBFD786BAA68", "000102030405060708090A0B0C0D0E0F",
                                OSL_DEV_RELAY};
inline constexpr Actor DIMMER = {"lamp", "0A1B2C3D4E5F", "F0E1D2C3B4A5968778695A4B3C2D1E0F",
                                 OSL_DEV_DIMMER};
inline constexpr Actor PWM = {"strip", "665544332211", "2B7E151628AED2A6ABF7158809CF4F3C",
                              OSL_DEV_PWM};
inline constexpr int ACTOR_INDEX = 1; // of RELAY, DIMMER and PWM in their tables

// Where an actor's frames carry its state: a relay its channel bits in byte
// 7, a dimmer its level in byte 9, a PWM controller its levels in bytes 9..11.
inline int state_at(uint8_t type) {
    return type == OSL_DEV_RELAY ? 7 : 9;
}
inline int channels_of(uint8_t type) {
    return type == OSL_DEV_PWM ? 3 : 1;
}

// ---- an independent opening of the commands ------------------------------------

inline Block aes128(const Block &in, const Key &key, bool encrypt) {
    Block out{};
    int len = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size())), 1);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

// Undoes the devices' whitening: the neighbour pass from its count down,
// then the running key of steps of 0x75.
inline void unwhiten(Block &b) {
    const uint8_t c = b[15];
    for (int i = (c & 7) + 8; i >= 1; i--)
        b[i - 1] ^= static_cast<uint8_t>(b[i] + c);
    uint8_t r = b[0];
    for (int i = 15; i >= 1; i--) {
        r = static_cast<uint8_t>(r + 0x75);
        b[i] ^= r;
    }
}

// One command as the controller received it in LE Set Advertising Data:
// the 32-byte parameter block (length, then the 31 bytes of advertising
// data), opened with a key.
struct Opened {
    bool tag_ok = false;      // the 7 tag bytes are the even bytes 2..14 of E(sealed)
    Block plain{};            // payload bytes 0..15, decrypted and unwhitened
    uint8_t type_byte = 0xEE; // payload byte 16, in clear
    Block sealed{};           // payload bytes 0..15 as sent
    std::array<uint8_t, 7> tag{};
};

inline constexpr int DATA_BLOCK_SIZE = 32;
inline constexpr int PAYLOAD_IN_BLOCK = 1 + 7; // the length byte, the two AD headers

inline Opened open_command(const Bytes &block, const Key &key) {
    Opened o;
    if (block.size() != DATA_BLOCK_SIZE) {
        ADD_FAILURE() << "data block of " << block.size() << " bytes";
        return o;
    }
    const uint8_t *payload = block.data() + PAYLOAD_IN_BLOCK;
    std::copy(payload, payload + 16, o.sealed.begin());
    o.type_byte = payload[16];
    std::copy(payload + 17, payload + 24, o.tag.begin());
    const Block e = aes128(o.sealed, key, true);
    o.tag_ok = true;
    for (int j = 0; j < 7; j++)
        o.tag_ok = o.tag_ok && o.tag[j] == e[2 + 2 * j];
    o.plain = aes128(o.sealed, key, false);
    unwhiten(o.plain);
    return o;
}

// ---- the library's state at each request, through a wrapping port -----------------

struct Moment {
    std::string call; // "send_req ocf=0x0008", "adv_enable 1", ...
    int event = -1;   // awaited event of a send_req
    int rlen = -1;    // reply buffer of a send_req
    int32_t busy = -1;
    std::string tx_lamp;        // everything written to the transmit lamp so far
    size_t scan_pending = 0;    // events waiting on the scanning socket
    uint32_t reads = 0;         // socket reads the ticks made so far
    uint32_t relay_trigger = 0; // RELAY's countdown, to show the ticks running
};

inline std::vector<Moment> &moments() {
    static std::vector<Moment> m;
    return m;
}
inline std::string &spied_lamp() {
    static std::string path;
    return path;
}

inline Moment moment(const std::string &call) {
    Moment m;
    m.call = call;
    m.busy = osl_tx_busy;
    m.tx_lamp = read_file(spied_lamp());
    m.scan_pending = sim::Controller::get().pending(osl_adapter.sock);
    m.reads = sim::Controller::get().reads();
    m.relay_trigger = osl_relay_table[ACTOR_INDEX].trigger;
    return m;
}

inline int spy_send_req(int sock, osl_hci_request *rq, int timeout_ms) {
    char call[32];
    snprintf(call, sizeof call, "send_req ocf=0x%04X", rq->ocf);
    Moment m = moment(call);
    m.event = rq->event;
    m.rlen = rq->rlen;
    moments().push_back(m);
    return sim::Controller::ops.send_req(sock, rq, timeout_ms);
}

inline int spy_advertise_enable(int sock, uint8_t enable, int timeout_ms) {
    moments().push_back(moment("adv_enable " + std::to_string(enable)));
    return sim::Controller::ops.le_set_advertise_enable(sock, enable, timeout_ms);
}

inline const osl_hci_ops *spy_port() {
    static const osl_hci_ops ops = [] {
        osl_hci_ops o = sim::Controller::ops;
        o.send_req = spy_send_req;
        o.le_set_advertise_enable = spy_advertise_enable;
        return o;
    }();
    return &ops;
}

// ---- the fixture -------------------------------------------------------------

class ActorFixture : public LibFixture {
  protected:
    static constexpr int TX_PIN = 6;
    static constexpr int SCAN_SOCKET = sim::Controller::FIRST_SOCKET; // 1000
    static constexpr int COMMAND_SOCKET = SCAN_SOCKET + 1;            // 1001

    // Sends wait 100 ms in ticks, so they need the real timer; cases that
    // never complete a send may run the ticks by hand.
    enum class Ticks { Real, ByHand };

    // Registers the actors (before opening, so nothing is printed), opens
    // the library with the transmit lamp and the given verbosity, and starts
    // with an empty record of calls and output.
    void open(int flags, Ticks ticks) {
        register_actors();
        ASSERT_NO_FATAL_FAILURE(open_only(flags, ticks));
    }

    void register_actors() {
        for (const Actor *a : {&RELAY_DECOY, &RELAY, &DIMMER_DECOY, &DIMMER, &PWM_DECOY, &PWM})
            ASSERT_EQ(add(*a), 0) << a->name;
    }

    static int add(const Actor &a) {
        switch (a.type) {
        case OSL_DEV_RELAY:
            return osl_relay_add(a.name, a.addr, a.key);
        case OSL_DEV_DIMMER:
            return osl_dimmer_add(a.name, a.addr, a.key);
        default:
            return osl_pwm_add(a.name, a.addr, a.key);
        }
    }

    void open_only(int flags, Ticks ticks) {
        by_hand_ = ticks == Ticks::ByHand;
        osl_timer = by_hand_ ? &sim::hand_timer : &osl_timer_posix;
        mkdir(path("gpio").c_str(), 0700);
        mkdir(path("gpio/gpio6").c_str(), 0700);
        for (const char *f :
             {"gpio/export", "gpio/unexport", "gpio/gpio6/direction", "gpio/gpio6/value"})
            write_file(path(f), "");
        spied_lamp() = path("gpio/gpio6/value");
        osl_hci = spy_port();
        ASSERT_EQ(osl_bt_open(0, TX_PIN, 0, flags), 0);
        ASSERT_EQ(osl_adapter.sock, SCAN_SOCKET);
        ASSERT_EQ(osl_adapter.cmd_sock, COMMAND_SOCKET);
        forget();
    }

    // Clears the record of calls, commands and moments and takes the output.
    void forget() {
        sim.clear_record();
        moments().clear();
        out.take();
    }

    // Everything written to the transmit lamp: opening leaves "10".
    std::string tx_lamp() { return read_file(spied_lamp()); }

    std::string said() { return mask_times(out.take()); }

    // A frame from the actor reporting `state` (channels_of(type) bytes),
    // sealed with its key, through the controller and the tick; returns the
    // record osl_bt_read gives for it. Each frame carries a new time field,
    // so no two are taken for repeats.
    osl_record report(const Actor &a, std::array<uint8_t, 3> state) {
        DeviceBlock b;
        b.wt = ++frames_;
        b.type = a.type;
        b.vcc = 71;
        for (int c = 0; c < channels_of(a.type); c++)
            b.b7[static_cast<size_t>(state_at(a.type) - 7 + c)] = state[static_cast<size_t>(c)];
        sim.deliver(actor_report(addr_from_text(a.addr), b.bytes(), key_from_text(a.key), -50));
        osl_record rec{};
        int type = 0;
        EXPECT_TRUE(wait_until([&] {
            if (by_hand_)
                tick();
            type = osl_bt_read(&rec);
            return type != 0;
        })) << "no record for the frame of "
            << a.name;
        EXPECT_EQ(type, a.type);
        // The tick that queued the record may have come after the read's own
        // flush of the log: its line must be out before the case takes what
        // the operation under test prints.
        osl_log_flush();
        return rec;
    }

    // The LE Set Advertising Data blocks the controller received, in order.
    std::vector<Bytes> data_blocks() const {
        std::vector<Bytes> blocks;
        for (const sim::Command &c : sim.commands())
            if (c.ogf == 0x08 && c.ocf == 0x0008)
                blocks.push_back(c.params);
        return blocks;
    }

    // The one command sent since the record was cleared, opened with the
    // actor's key; its tag must verify.
    Opened sent_to(const Actor &a) {
        std::vector<Bytes> blocks = data_blocks();
        if (blocks.size() != 1) {
            ADD_FAILURE() << blocks.size() << " commands sent, expected one";
            return Opened{};
        }
        Opened o = open_command(blocks[0], key_from_text(a.key));
        EXPECT_TRUE(o.tag_ok) << "tag does not verify with the key of " << a.name;
        return o;
    }

    bool by_hand_ = false;
    uint32_t frames_ = 0;
    StdoutCapture out;
};

} // namespace osl::test
