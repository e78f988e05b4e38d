// The texts of the results: one for every code each operation returns, each
// its own, none for a code the operation never returns.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "osl.h"

namespace osl::test {
namespace {

struct OpCodes {
    int op;
    std::vector<int> codes;
    std::vector<int> never;
};

const OpCodes ops[] = {
    {OSL_OP_READ, {OSL_READ_STOPPED, OSL_READ_NONE}, {1, -2}},
    {OSL_OP_ADD,
     {0, OSL_ADD_FULL, OSL_ADD_BAD_ADDR, OSL_ADD_NO_NAME, OSL_ADD_BAD_KEY, OSL_ADD_ADDR_IN_USE},
     {-1, -12, 1}},
    {OSL_OP_SEND,
     {0, OSL_NO_ACTOR, OSL_SEND_DATA_FAILED, OSL_SEND_DATA_REFUSED, OSL_SEND_PARAMS_FAILED,
      OSL_SEND_PARAMS_REFUSED},
     {-4, -50, 1}},
    {OSL_OP_COMPLY, {0, OSL_NO_ACTOR, OSL_COMPLY_RESENT, OSL_COMPLY_SEND_FAILED}, {-8, -22, 1}},
    {OSL_OP_FIELDS, {OSL_FIELDS_UNKNOWN_TYPE}, {-1, 0}},
    {OSL_OP_REMOVE, {0, OSL_ADD_BAD_ADDR, OSL_NO_ACTOR}, {-6, -8, -10, 1}},
};

TEST(ResultTexts, EveryCodeOfEveryOperationHasATextOfItsOwn) {
    for (const OpCodes &o : ops) {
        std::set<std::string> seen;
        for (int code : o.codes) {
            const char *text = osl_result_text(o.op, code);
            ASSERT_NE(text, nullptr) << o.op << " " << code;
            EXPECT_TRUE(seen.insert(text).second) << o.op << " " << code << ": " << text;
            EXPECT_EQ(std::string(text).find('\n'), std::string::npos) << text;
        }
        for (int code : o.never)
            EXPECT_EQ(osl_result_text(o.op, code), nullptr) << o.op << " " << code;
    }
    EXPECT_EQ(osl_result_text(0, 0), nullptr);
    EXPECT_EQ(osl_result_text(OSL_OP_REMOVE + 1, 0), nullptr);
}

} // namespace
} // namespace osl::test
