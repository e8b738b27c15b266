// jsoncpp is the authority on what an event's members say.
#include "jobs/jsonfield.h"

#include <json/json.h>

#include <exception>

JsonField member_as_string(std::string_view doc, const char* name) {
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
