// ostrel_mqtt: the kit's sensors in Home Assistant through an MQTT broker.
#include "mqtt.h"

int main(int argc, char **argv) {
    return ostrel::mqtt::mqtt_main(argc, argv);
}
