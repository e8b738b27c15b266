// jsoncpp is the authority on what an event's members say; simdjson answers first where it
// provably gives the same answer, because jsoncpp costs more than the rest of a fan-out together.
#include "jobs/jsonfield.h"

#include <json/json.h>
#include <simdjson.h>

#include <cstring>
#include <exception>
#include <optional>

namespace {

// Nesting far below jsoncpp's stack limit (1,000), which makes it throw; events nest a few levels.
constexpr size_t kFrontMaxDepth = 64;
// Larger documents go to jsoncpp, so the parser's buffers never grow beyond this for good.
constexpr size_t kFrontMaxBytes = 1 << 20;

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Whether the text holds "\u" followed by D8..DF, a UTF-16 surrogate escape. jsoncpp joins a
// high surrogate with whatever \u escape follows, checked or not, and encodes a lone low one as
// three bytes; the two parsers differ there, so such documents go to jsoncpp. Matching the raw
// bytes also catches an escaped backslash before "u", which only costs the fast path.
bool has_surrogate_escape(std::string_view doc) {
    const char* p = doc.data();
    const char* const end = p + doc.size();
    while (end - p >= 4) {
        p = static_cast<const char*>(std::memchr(p, '\\', static_cast<size_t>(end - p - 3)));
        if (p == nullptr) {
            return false;
        }
        if (p[1] == 'u' && (p[2] == 'd' || p[2] == 'D') &&
            std::strchr("89abcdefABCDEF", p[3]) != nullptr && p[3] != '\0') {
            return true;
        }
        ++p;
    }
    return false;
}

// The thread's parser, kept for its buffers; null when it could not be set up. Its depth limit
// must hold, or a document nested beyond jsoncpp's limit could pass here.
simdjson::dom::parser* front_parser() {
    thread_local simdjson::dom::parser parser(kFrontMaxBytes);
    thread_local const bool ready = parser.allocate(64 * 1024, kFrontMaxDepth) == simdjson::SUCCESS;
    return ready && parser.max_depth() == kFrontMaxDepth ? &parser : nullptr;
}

// The answer where simdjson's strict parse settles it, nullopt where jsoncpp must decide.
//
// Why an answer here is jsoncpp's answer: the document is a strict-JSON object that simdjson
// validated whole (grammar, UTF-8, nesting, every number in double range), and jsoncpp accepts
// every such document with the same members (it ignores nothing that strict JSON allows, and
// its leniencies, comments and trailing text among them, are all documents simdjson rejects).
// Keys and texts decode the same for every escape but surrogates, which go to jsoncpp.
// jsoncpp keeps the last of duplicate members, so the last match counts. An integer that fits
// 64 bits is an integer for jsoncpp too, and asString() prints it in plain decimal; a number
// with a fraction or exponent becomes a double whose printed form is jsoncpp's business.
std::optional<JsonField> front_member(std::string_view doc, const char* name) {
    if (doc.size() > kFrontMaxBytes) {
        return std::nullopt;
    }
    size_t first = 0;
    while (first < doc.size() && is_json_space(doc[first])) {
        ++first;
    }
    // An object or nothing: other roots, a byte-order mark or an empty text are left to jsoncpp.
    if (first == doc.size() || doc[first] != '{' || has_surrogate_escape(doc)) {
        return std::nullopt;
    }
    simdjson::dom::parser* parser = front_parser();
    simdjson::dom::element root;
    if (parser == nullptr || parser->parse(doc.data(), doc.size()).get(root) != simdjson::SUCCESS) {
        return std::nullopt;
    }
    simdjson::dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) {
        return std::nullopt;
    }
    const std::string_view key(name);
    std::optional<simdjson::dom::element> member;
    for (const simdjson::dom::key_value_pair field : object) {
        if (field.key == key) {
            member = field.value;
        }
    }
    JsonField out;
    out.status = FieldStatus::kText;
    if (!member) {
        return out;
    }
    switch (member->type()) {
        case simdjson::dom::element_type::NULL_VALUE:
            return out;
        case simdjson::dom::element_type::STRING: {
            const std::string_view text = member->get_string().value_unsafe();
            out.text.assign(text.data(), text.size());
            return out;
        }
        case simdjson::dom::element_type::BOOL:
            out.text = member->get_bool().value_unsafe() ? "true" : "false";
            return out;
        case simdjson::dom::element_type::INT64:
            out.text = std::to_string(member->get_int64().value_unsafe());
            return out;
        case simdjson::dom::element_type::UINT64:
            out.text = std::to_string(member->get_uint64().value_unsafe());
            return out;
        case simdjson::dom::element_type::OBJECT:
        case simdjson::dom::element_type::ARRAY:
            out.status = FieldStatus::kNotScalar;
            return out;
        default:
            return std::nullopt;
    }
}

}  // namespace

JsonField member_as_string(std::string_view doc, const char* name) {
    if (std::optional<JsonField> fast = front_member(doc, name)) {
        return std::move(*fast);
    }
    return member_as_string_jsoncpp(doc, name);
}

JsonField member_as_string_jsoncpp(std::string_view doc, const char* name) {
    JsonField out;
    Json::Value root;
    try {
        // The old Reader is deprecated, but its lenient defaults (comments, trailing text) are
        // what the events have always been read with.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Json::Reader reader;
#pragma GCC diagnostic pop
        if (!reader.parse(doc.data(), doc.data() + doc.size(), root, true)) {
            return out;
        }
    } catch (const std::exception&) {
        return out;
    }
    if (!root.isNull() && !root.isObject()) {
        out.status = FieldStatus::kNotObject;
        return out;
    }
    const Json::Value* member = root.find(name, name + std::char_traits<char>::length(name));
    if (member == nullptr || member->isNull()) {
        out.status = FieldStatus::kText;
        return out;
    }
    if (member->isObject() || member->isArray()) {
        out.status = FieldStatus::kNotScalar;
        return out;
    }
    out.text = member->asString();
    out.status = FieldStatus::kText;
    return out;
}
