#include "transmit.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/adapter.h"
#include "core/addr.h"
#include "core/hci_defs.h"
#include "core/hci_port.h"
#include "core/lamps.h"
#include "frames/layout.h"
#include "frames/seal.h"
#include "kinds.h"
#include "osl.h"

namespace {

using namespace osl;
namespace command = osl::frame::command;

// How long a command is advertised.
constexpr int ADVERTISE_MS = 100;

// Commands go out under the adapter's public address.
constexpr const auto &ADV_PARAMS = hci::ADV_PARAMS<hci::OWN_ADDR_PUBLIC>;

// One osl_tx_request on the command socket; its one-byte answer is the status
// (also left in *answer when given). 0 done; failed when hci_send_req
// failed; refused when the status is not 0.
int osl_tx_request(uint16_t ocf, const void *params, int len, int failed, int refused,
                   uint8_t *answer = nullptr) {
    uint8_t status = 0;
    osl_hci_request rq = {};
    rq.ogf = hci::OGF_LE_CTL;
    rq.ocf = ocf;
    rq.event = 0;
    rq.cparam = params;
    rq.clen = len;
    rq.rparam = &status;
    rq.rlen = sizeof status;
    if (osl_hci->send_req(osl_adapter.cmd_sock, &rq, hci::TIMEOUT_MS) < 0)
        return failed;
    if (answer != nullptr)
        *answer = status;
    if (status != 0) {
        errno = EIO;
        return refused;
    }
    return 0;
}

} // namespace

int osl_send_command(int index, const uint8_t *values, uint8_t type) {
    const time_t now = time(nullptr);
    const osl_actor_kind *kind = osl_actor_kind_of(type);
    if (kind == nullptr)
        return OSL_SEND_BAD_TYPE;
    // Without an open link the socket fields hold no socket (0 is standard
    // input): nothing may be written to or read from them.
    if (osl_adapter.state == OSL_ADAPTER_CLOSED) {
        errno = ENOTCONN;
        return OSL_SEND_DATA_FAILED;
    }

    // The block of LE Set Advertising Data: its length, then the 31 bytes.
    uint8_t adv[1 + frame::ADV_DATA_SIZE] = {frame::ADV_DATA_SIZE};
    memcpy(adv + 1, frame::STD_HEADER, sizeof frame::STD_HEADER);
    uint8_t *payload = adv + 1 + frame::STD_PAYLOAD;
    const uint32_t t = static_cast<uint32_t>(now);
    for (int i = 0; i < 4; i++)
        payload[command::TIME + i] = static_cast<uint8_t>(t >> (8 * i));
    payload[command::CODE] = command::CODE_VALUE;
    const osl_actor_ref entry = kind->entry(index);
    memcpy(payload + command::TARGET, entry.addr, OSL_ADDR_SIZE);
    payload[command::TARGET_TYPE] = type;
    // One value byte per channel: 1, or 3 for PWM; the others stay 0.
    memcpy(payload + command::VALUES, values, static_cast<size_t>(kind->channels));
    osl_seal_with(payload, entry.schedule);

    osl_tx_busy = 1;
    int r = osl_tx_request(hci::OCF_LE_SET_ADV_DATA, adv, sizeof adv, OSL_SEND_DATA_FAILED,
                           OSL_SEND_DATA_REFUSED);
    uint8_t status = 0;
    if (r == 0)
        r = osl_tx_request(hci::OCF_LE_SET_ADV_PARAMETERS, ADV_PARAMS, sizeof ADV_PARAMS,
                           OSL_SEND_PARAMS_FAILED, OSL_SEND_PARAMS_REFUSED, &status);
    if (r == OSL_SEND_PARAMS_REFUSED && status == hci::STATUS_COMMAND_DISALLOWED) {
        // The controller is still advertising: a program ended in the middle
        // of its advertising window (killed, crashed) left it on, and the
        // controller keeps that state for whoever comes next. Stop it and
        // try once more, or no command would ever go out again.
        osl_hci->le_set_advertise_enable(osl_adapter.cmd_sock, 0, hci::TIMEOUT_MS);
        r = osl_tx_request(hci::OCF_LE_SET_ADV_PARAMETERS, ADV_PARAMS, sizeof ADV_PARAMS,
                           OSL_SEND_PARAMS_FAILED, OSL_SEND_PARAMS_REFUSED);
    }
    if (r != 0) {
        osl_tx_busy = 0;
        return r;
    }
    osl_lamp_set(&osl_lamps, LAMP_TX, 1);
    // A controller that will not start or stop advertising still counts as
    // sent: the comply operations repeat the command at the actor's next frame.
    osl_hci->le_set_advertise_enable(osl_adapter.cmd_sock, 1, hci::TIMEOUT_MS);
    osl_sleep_ms(ADVERTISE_MS);
    osl_hci->le_set_advertise_enable(osl_adapter.cmd_sock, 0, hci::TIMEOUT_MS);
    osl_tx_busy = 0;
    osl_lamp_set(&osl_lamps, LAMP_TX, 0);
    return 0;
}
