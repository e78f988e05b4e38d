#include "in_process.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

#include "core/addr.h"
#include "core/hci_defs.h"
#include "core/hci_port.h"
#include "core/platform.h"
#include "lifecycle.h"
#include "sim/hci_sim.h"

namespace osl::virtkit {

void install_simulated_machine(const char *lock_path, const char *gpio_root, Tick tick) {
    osl_lock_path = lock_path;
    osl_gpio_root = gpio_root;
    osl_timer = tick == Tick::Hand ? &sim::hand_timer : &osl_timer_posix;
    sim::Controller &controller = sim::Controller::get();
    controller.reset();
    controller.install();
}

void tick_by_hand() {
    osl_timer_handler(SIGALRM);
}

void restore_real_machine() {
    osl_hci = &osl_hci_bluez;
    osl_timer = &osl_timer_posix;
    osl_lock_path = OSL_LOCK_PATH_DEFAULT;
    osl_gpio_root = OSL_GPIO_ROOT_DEFAULT;
}

TickHold::TickHold() {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm, &old_);
}

TickHold::~TickHold() {
    sigprocmask(SIG_SETMASK, &old_, nullptr);
}

namespace {

uint32_t ms_since(const struct timespec &start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now); // async-signal-safe
    const int64_t ms = (static_cast<int64_t>(now.tv_sec) - start.tv_sec) * 1000 +
                       (now.tv_nsec - start.tv_nsec) / 1000000;
    return static_cast<uint32_t>(ms);
}

} // namespace

void InProcessKit::start() {
    if (on_air_)
        return;
    clock_gettime(CLOCK_MONOTONIC, &start_);
    sim::Controller &c = sim::Controller::get();
    c.on_air = [this](const uint8_t *adv, size_t len) {
        TickHold hold;
        if (kit_.hear(adv, len) != nullptr)
            obeyed_ = obeyed_ + 1;
        else
            refused_ = refused_ + 1;
    };
    c.set_read_hook(poll, this);
    on_air_ = true;
}

void InProcessKit::stop() {
    if (!on_air_)
        return;
    sim::Controller &c = sim::Controller::get();
    c.set_read_hook(nullptr, nullptr);
    c.on_air = nullptr;
    on_air_ = false;
}

void InProcessKit::schedule(uint32_t at_ms, void (*change)(Kit &), const char *note) {
    TickHold hold;
    scheduled_at_ = at_ms;
    scheduled_note_ = note;
    scheduled_ = change;
}

void InProcessKit::poll(void *self) {
    InProcessKit *k = static_cast<InProcessKit *>(self);
    const uint32_t now = ms_since(k->start_);
    if (k->scheduled_ != nullptr && now >= k->scheduled_at_) {
        k->scheduled_(k->kit_);
        k->scheduled_ = nullptr;
        if (k->scheduled_note_ != nullptr) {
            // write(2) is what signal context allows.
            ssize_t ignored = write(STDERR_FILENO, k->scheduled_note_, strlen(k->scheduled_note_));
            (void)ignored;
        }
    }
    k->kit_.run_until(now, send, k);
}

// The LE Advertising Report a controller nearby hands its host: one report,
// non-connectable, random device address, the data, the RSSI.
void InProcessKit::send(void *self, Device &from, const AdvData &data) {
    InProcessKit *k = static_cast<InProcessKit *>(self);
    namespace report = hci::report;
    uint8_t event[report::DATA + sizeof data.bytes + 1];
    event[report::PKT_TYPE] = hci::PKT_EVENT;
    event[report::EVT_CODE] = hci::EVT_LE_META;
    event[report::PARAM_LEN] = static_cast<uint8_t>(report::DATA - report::SUBEVENT + data.len + 1);
    event[report::SUBEVENT] = hci::SUBEVT_LE_ADV_REPORT;
    event[report::NUM_REPORTS] = 1;
    event[report::EVT_TYPE] = 0x03;
    event[report::ADDR_TYPE] = 0x01;
    osl_addr_flip(from.addr().data(), event + report::ADDR);
    event[report::DATA_LEN] = data.len;
    memcpy(event + report::DATA, data.bytes, data.len);
    event[report::DATA + data.len] = static_cast<uint8_t>(from.rssi());
    sim::Controller::get().deliver(event, report::DATA + data.len + 1u);
    k->frames_ = k->frames_ + 1;
}

} // namespace osl::virtkit
