// The event-type reading: jsoncpp's answers on the cases the fan-out files by, and the fast
// path's agreement with jsoncpp on generated and mutated events.
#include "jobs/jsonfield.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

::testing::AssertionResult agrees(const std::string& doc) {
    const JsonField fast = member_as_string(doc, "event_type");
    const JsonField slow = member_as_string_jsoncpp(doc, "event_type");
    if (fast.status == slow.status &&
        (fast.status != FieldStatus::kText || fast.text == slow.text)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "doc [" << doc << "]: status " << static_cast<int>(fast.status) << " text ["
           << fast.text << "], jsoncpp status " << static_cast<int>(slow.status) << " text ["
           << slow.text << "]";
}

JsonField type_of(const std::string& doc) {
    return member_as_string(doc, "event_type");
}

std::string nested(int depth, const std::string& inner = "1") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(EventType, TextsNumbersAndBooleansInJsoncppsTextForm) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"event_type":"alert","src_ip":"10.0.0.1"})", "alert"},
        {R"({"event_type":7})", "7"},
        {R"({"event_type":-7})", "-7"},
        {R"({"event_type":18446744073709551615})", "18446744073709551615"},
        {R"({"event_type":1.5})", "1.5"},
        {R"({"event_type":true})", "true"},
        {R"({"event_type":false})", "false"},
        {R"({"event_type":"d\u00e9j\u00e0 vu \ud83d\ude00"})",
         "d\xc3\xa9j\xc3\xa0 vu \xf0\x9f\x98\x80"},
        {R"({"event_type":"a\u0000b"})", "a\0b"s},
    };
    for (const auto& [doc, text] : cases) {
        const JsonField f = type_of(doc);
        EXPECT_EQ(f.status, FieldStatus::kText) << doc;
        EXPECT_EQ(f.text, text) << doc;
        EXPECT_TRUE(agrees(doc));
    }
}

TEST(EventType, MissingOrNullIsTheEmptyText) {
    for (const std::string doc : {R"({"proto":"TCP"})", R"({"event_type":null})", "null", "{}"}) {
        const JsonField f = type_of(doc);
        EXPECT_EQ(f.status, FieldStatus::kText) << doc;
        EXPECT_EQ(f.text, "") << doc;
    }
}

TEST(EventType, MalformedDocumentsAreTold) {
    EXPECT_EQ(type_of("not json").status, FieldStatus::kNotJson);
    EXPECT_EQ(type_of("").status, FieldStatus::kNotJson);
    EXPECT_EQ(type_of(R"({"event_type":"alert")").status, FieldStatus::kNotJson);
    EXPECT_EQ(type_of(R"(["alert"])").status, FieldStatus::kNotObject);
    EXPECT_EQ(type_of(R"("alert")").status, FieldStatus::kNotObject);
    EXPECT_EQ(type_of("42").status, FieldStatus::kNotObject);
    EXPECT_EQ(type_of(R"({"event_type":{"a":1}})").status, FieldStatus::kNotScalar);
    EXPECT_EQ(type_of(R"({"event_type":[1]})").status, FieldStatus::kNotScalar);
}

TEST(EventType, NestingAtJsoncppsStackLimitIsNotJson) {
    // jsoncpp throws at 1,000 levels instead of returning false; shallower still parses.
    EXPECT_EQ(type_of(R"({"event_type":"x","deep":)" + nested(999) + "}").status,
              FieldStatus::kNotJson);
    const JsonField ok = type_of(R"({"event_type":"x","deep":)" + nested(990) + "}");
    EXPECT_EQ(ok.status, FieldStatus::kText);
    EXPECT_EQ(ok.text, "x");
}

TEST(EventType, JsoncppsLeniencyAndDuplicateRuleHold) {
    // The last of duplicate members counts, whatever kind the earlier ones were.
    EXPECT_EQ(type_of(R"({"event_type":"dns","event_type":"alert"})").text, "alert");
    EXPECT_EQ(type_of(R"({"event_type":{"x":1},"event_type":"flow"})").text, "flow");
    EXPECT_EQ(type_of(R"({"event_type":"flow","event_type":[1]})").status, FieldStatus::kNotScalar);
    EXPECT_EQ(type_of(R"({"\u0065vent_type":"http"})").text, "http");
    // Comments and trailing text are accepted.
    EXPECT_EQ(type_of("/* head */ {\"event_type\": // why\n \"tls\"} trailing").text, "tls");
    // An unchecked second half of a surrogate pair is joined as jsoncpp joins it.
    EXPECT_TRUE(agrees(R"({"event_type":"\ud800\u0041"})"));
    EXPECT_TRUE(agrees(R"({"event_type":"\udc00"})"));
}

// ---------------------------------------------------------------- agreement

const std::vector<std::string> kValues = {R"("alert")",
                                          R"("dns")",
                                          R"("")",
                                          R"("a\"b\\c\/d\b\f\n\r\t")",
                                          R"("\u0000")",
                                          R"("\u00e9\u4e2d")",
                                          R"("\ud83d\ude00")",
                                          R"("\ud800")",
                                          R"("\udc00")",
                                          R"("\ud800\u0041")",
                                          R"("\ud800x")",
                                          R"("\uDBFF\uDFFF")",
                                          "\"caf\xc3\xa9\"",
                                          "\"\xff\xfe\"",
                                          "\"\xc0\x80\"",
                                          "\"\xe2\x82\"",
                                          "\"tab\there\"",
                                          "\"nul\0in\"",
                                          R"("\x")",
                                          R"("\u12")",
                                          "0",
                                          "-0",
                                          "1",
                                          "-1",
                                          "007",
                                          "9223372036854775807",
                                          "9223372036854775808",
                                          "-9223372036854775808",
                                          "-9223372036854775809",
                                          "18446744073709551615",
                                          "18446744073709551616",
                                          "123456789012345678901234567890",
                                          "1.5",
                                          "-0.0",
                                          "0.1",
                                          "1e2",
                                          "1E+2",
                                          "1e-2",
                                          "1.",
                                          ".5",
                                          "1e400",
                                          "-1e400",
                                          "1e-400",
                                          "1.7976931348623157e308",
                                          "1.7976931348623159e308",
                                          "1.797693134862316e308",
                                          "4.9e-324",
                                          "2.2250738585072014e-308",
                                          "+1",
                                          "0x10",
                                          "NaN",
                                          "Infinity",
                                          "true",
                                          "false",
                                          "null",
                                          "tru",
                                          "{}",
                                          R"({"a":1})",
                                          "[]",
                                          "[1,2]",
                                          std::string(400, '9'),
                                          "1" + std::string(330, '0') + ".0"};

const std::vector<std::string> kOthers = {
    R"("src_ip":"192.168.1.10")",
    R"("flow_id":1234567890123456)",
    R"("pkts":[1,2,3])",
    R"("http":{"hostname":"example.org","url":"\/index.html","status":200})",
    R"("score":0.25)",
    R"("big":1e400)",
    R"("deep":)" + nested(60),
    R"("deep":)" + nested(63),
    R"("deep":)" + nested(64),
    R"("deep":)" + nested(998),
    R"("deep":)" + nested(999),
    R"("deep":)" + nested(1000),
    R"("x\u0000":1)",
    R"("event_type\u0000":"shadow")",
    R"("":1)"};

const std::vector<std::string> kWrappers = {"",       " ", "\n\t ", "\xef\xbb\xbf", "/*c*/",
                                            "// c\n", "x", "]",     "\0"s};

std::string generate(std::mt19937& rng) {
    auto pick = [&](const std::vector<std::string>& v) -> const std::string& {
        return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)];
    };
    auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(rng) < percent;
    };
    std::vector<std::string> members;
    const int others = std::uniform_int_distribution<int>(0, 3)(rng);
    for (int i = 0; i < others; ++i) {
        members.push_back(pick(kOthers));
    }
    const int types = chance(80) ? 1 : std::uniform_int_distribution<int>(0, 3)(rng);
    for (int i = 0; i < types; ++i) {
        const auto at =
            members.begin() + std::uniform_int_distribution<size_t>(0, members.size())(rng);
        members.insert(at, (chance(10) ? R"("\u0065vent_type")" : R"("event_type")") +
                               std::string(chance(10) ? " : " : ":") + pick(kValues));
    }
    std::string doc = chance(95) ? "" : pick(kWrappers);
    doc += '{';
    for (size_t i = 0; i < members.size(); ++i) {
        doc += (i > 0 ? "," : "") + members[i];
        if (chance(3)) {
            doc += chance(50) ? "/* note */" : "//note\n";
        }
    }
    if (chance(3)) {
        doc += ',';
    }
    doc += '}';
    if (chance(5)) {
        doc += pick(kWrappers);
    }
    if (chance(3)) {
        doc = "[" + doc + "]";
    }
    return doc;
}

std::string mutate(std::string doc, std::mt19937& rng) {
    static const std::string kBytes = "{}[]\":,\\/*-+.0123456789eEu \n\0\xff\xc3tfn"s;
    auto at = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
    const int edits = std::uniform_int_distribution<int>(1, 3)(rng);
    for (int i = 0; i < edits && !doc.empty(); ++i) {
        const size_t pos = at(doc.size() - 1);
        switch (std::uniform_int_distribution<int>(0, 4)(rng)) {
            case 0:
                doc.erase(pos, 1);
                break;
            case 1:
                doc.insert(pos, 1, kBytes[at(kBytes.size() - 1)]);
                break;
            case 2:
                doc[pos] = kBytes[at(kBytes.size() - 1)];
                break;
            case 3:
                doc.insert(pos, doc.substr(pos, at(16)));
                break;
            default:
                doc.resize(pos);
                break;
        }
    }
    return doc;
}

TEST(EventTypeAgreement, FastPathAgreesWithJsoncppOnGeneratedEvents) {
    std::mt19937 rng(20261207);
    for (int i = 0; i < 4000; ++i) {
        const std::string doc = generate(rng);
        ASSERT_TRUE(agrees(doc));
    }
}

TEST(EventTypeAgreement, FastPathAgreesWithJsoncppOnMutatedEvents) {
    std::mt19937 rng(7);
    for (int i = 0; i < 4000; ++i) {
        ASSERT_TRUE(agrees(mutate(generate(rng), rng)));
    }
}

TEST(EventTypeAgreement, EveryValueInEveryPosition) {
    for (const std::string& v : kValues) {
        EXPECT_TRUE(agrees(R"({"event_type":)" + v + "}"));
        EXPECT_TRUE(agrees(R"({"a":)" + v + R"(,"event_type":"x"})"));
        EXPECT_TRUE(agrees(R"({"event_type":"x","event_type":)" + v + "}"));
        EXPECT_TRUE(agrees(R"({"event_type":)" + v + R"(,"event_type":"x"})"));
        for (const std::string& w : kWrappers) {
            EXPECT_TRUE(agrees(w + R"({"event_type":)" + v + "}"));
            EXPECT_TRUE(agrees(R"({"event_type":)" + v + "}" + w));
        }
    }
    for (const std::string& o : kOthers) {
        EXPECT_TRUE(agrees(R"({"event_type":"x",)" + o + "}"));
    }
}

}  // namespace
