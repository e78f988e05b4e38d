// A broker stand-in for the bridge's tests: it keeps every message the
// bridge published, and can be "away" (publishing fails, as a QoS 0 publish
// does while the connection is down).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge.h"

namespace osl::test {

struct Published {
    std::string topic;
    std::string payload;
    bool retain;
};

class FakeBroker : public ostrel::mqtt::Publisher {
  public:
    bool connected() const override { return up; }
    bool publish(const std::string &topic, const std::string &payload, bool retain) override {
        if (!up)
            return false;
        sent.push_back({topic, payload, retain});
        return true;
    }
    // The last message on the topic, parsed; null when none.
    nlohmann::json last(const std::string &topic) const {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it)
            if (it->topic == topic)
                return it->payload.empty() ? nlohmann::json() : nlohmann::json::parse(it->payload);
        return nlohmann::json();
    }
    std::string last_text(const std::string &topic) const {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it)
            if (it->topic == topic)
                return it->payload;
        return "";
    }
    int count(const std::string &prefix) const {
        int n = 0;
        for (const Published &p : sent)
            n += p.topic.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    bool up = true;
    std::vector<Published> sent;
};

} // namespace osl::test
