// The event-type reading on literal tricky events: the answer the fan-out files by, and the fast
// path's agreement with jsoncpp. Generated events are the fuzz target's (fuzz/jsonagree_fuzz.cpp).
#include "jobs/jsonfield.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using namespace std::string_literals;

using Answer = std::pair<FieldStatus, std::string>;

// An event whose "deep" member nests n arrays: jsoncpp throws at a thousand levels.
std::string deep(int n) {
    return R"({"event_type":"x","deep":)" + std::string(n, '[') + "1" + std::string(n, ']') + "}";
}

// clang-format off
const std::pair<std::string, Answer> kCases[] = {
    {R"({"event_type":"alert","src_ip":"10.0.0.1"})", {FieldStatus::kText, "alert"}},
    {R"({"event_type":18446744073709551615})", {FieldStatus::kText, "18446744073709551615"}},
    {R"({"event_type":1.5})", {FieldStatus::kText, "1.5"}},
    {R"({"event_type":1e400})", {FieldStatus::kNotJson, ""}},
    {R"({"event_type":false})", {FieldStatus::kText, "false"}},
    {R"({"event_type":"d\u00e9j\u00e0 \ud83d\ude00"})", {FieldStatus::kText, "d\xc3\xa9j\xc3\xa0 \xf0\x9f\x98\x80"}},
    {R"({"event_type":"a\u0000b"})", {FieldStatus::kText, "a\0b"s}},
    {R"({"event_type":"\ud800\u0041"})", {FieldStatus::kText, "\xf0\x90\x81\x81"}},  // joined unchecked
    {R"({"event_type":null})", {FieldStatus::kText, ""}},
    {R"({"proto":"TCP"})", {FieldStatus::kText, ""}},
    {"null", {FieldStatus::kText, ""}},
    {R"({"event_type":"dns","event_type":"alert"})", {FieldStatus::kText, "alert"}},
    {R"({"event_type":{"x":1},"event_type":"flow"})", {FieldStatus::kText, "flow"}},
    {R"({"\u0065vent_type":"http"})", {FieldStatus::kText, "http"}},
    {"/* c */ {\"event_type\": // why\n \"tls\"} trailing", {FieldStatus::kText, "tls"}},
    {deep(998), {FieldStatus::kText, "x"}},
    {deep(999), {FieldStatus::kNotJson, ""}},
    {"", {FieldStatus::kNotJson, ""}},
    {R"({"event_type":"alert")", {FieldStatus::kNotJson, ""}},
    {R"(["alert"])", {FieldStatus::kNotObject, ""}},
    {R"({"event_type":[1]})", {FieldStatus::kNotScalar, ""}},
    {R"({"event_type":"flow","event_type":{}})", {FieldStatus::kNotScalar, ""}},
};
// clang-format on

TEST(EventType, TrickyEventsReadAsJsoncppReadsThem) {
    for (const auto& [doc, answer] : kCases) {
        const JsonField fast = member_as_string(doc, "event_type");
        const JsonField slow = member_as_string_jsoncpp(doc, "event_type");
        EXPECT_EQ(Answer(fast.status, fast.text), answer) << doc.substr(0, 60);
        EXPECT_EQ(Answer(slow.status, slow.text), answer) << doc.substr(0, 60);
    }
}

}  // namespace
