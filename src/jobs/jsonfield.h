// Reading one member of an event text the way jsoncpp's Json::Reader and asString() read it.
// The fan-out files events by their event_type and the retention job ages them by their
// timestamp; both take the member's text form from here, so the two agree on what an event says.
#pragma once

#include <string>
#include <string_view>

enum class FieldStatus {
    kText,       // text holds the member's asString() form ("" when missing or null)
    kNotJson,    // the reader rejected the text, or threw (nesting beyond its stack limit)
    kNotObject,  // the document is an array, a number, a text, true or false
    kNotScalar,  // the member is an object or an array, which asString() refuses
};

struct JsonField {
    FieldStatus status = FieldStatus::kNotJson;
    std::string text;
};

// The member `name` of the JSON document `doc` (any bytes; not NUL-terminated) as
// Json::Reader (default features, comments collected) and Json::Value::asString() give it:
// texts unchanged, numbers and booleans in the library's text form, a null document or a missing
// or null member as the empty text.
//
// A fast validating parser answers the common case (a strict-JSON object whose member is a
// text, a boolean, an integer, null or absent); every document it cannot vouch for goes to
// jsoncpp, so the answer is always the one member_as_string_jsoncpp gives.
JsonField member_as_string(std::string_view doc, const char* name);

// The same answer from jsoncpp alone: the authority the fast path is checked against.
JsonField member_as_string_jsoncpp(std::string_view doc, const char* name);
