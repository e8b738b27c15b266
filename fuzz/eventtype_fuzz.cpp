// The fan-out files an event under the text of its event_type: whatever bytes the engine put
// there, written into an event in any of the ways JSON allows, must come back unchanged.
//
// Input: one byte choosing the event's shape and the escaping, then the type's bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "finding.h"
#include "jobs/jsonfield.h"

namespace {

// `text` as a JSON string literal. Quote, backslash and control characters are always escaped;
// with `all`, every other ASCII character too (\uXXXX), and with `short_forms` the two-letter
// escapes stand where JSON has them. Bytes of 0x80 and above go unchanged.
std::string literal(std::string_view text, bool all, bool short_forms) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const char* short_form = nullptr;
        switch (c) {
            case '"':
                short_form = "\\\"";
                break;
            case '\\':
                short_form = "\\\\";
                break;
            case '\b':
                short_form = "\\b";
                break;
            case '\f':
                short_form = "\\f";
                break;
            case '\n':
                short_form = "\\n";
                break;
            case '\r':
                short_form = "\\r";
                break;
            case '\t':
                short_form = "\\t";
                break;
            case '/':
                short_form = all ? "\\/" : nullptr;
                break;
            default:
                break;
        }
        if (short_form != nullptr && (short_forms || c == '"' || c == '\\')) {
            out += short_form;
        } else if (c < 0x20 || (all && c < 0x80)) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

void expect(std::string_view event, std::string_view type) {
    const JsonField field = member_as_string(event, "event_type");
    if (field.status != FieldStatus::kText) {
        finding("status %d for %.*s", static_cast<int>(field.status),
                static_cast<int>(event.size()), event.data());
    }
    if (field.text != type) {
        finding("type \"%s\" read from %.*s", field.text.c_str(), static_cast<int>(event.size()),
                event.data());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t shape = data[0];
    const std::string_view type(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string value = literal(type, shape & 1, shape & 2);
    const char* const space = (shape & 4) ? " \n\t " : "";
    const std::string sp(space);
    std::string event;
    switch ((shape >> 3) % 5) {
        case 0:  // the usual place, among the engine's members
            event = R"({"timestamp":"2024-01-01T12:00:00.123456+0100","flow_id":1,)" + sp +
                    R"("event_type")" + sp + ":" + sp + value + sp + R"(,"src_port":53})";
            break;
        case 1:  // a duplicate: the last one counts
            event = R"({"event_type":"first",)" + sp + R"("event_type":)" + value + "}";
            break;
        case 2:  // the same name deeper down does not count
            event = R"({"alert":{"event_type":"inner"},"event_type":)" + value +
                    R"(,"x":[{"event_type":1}]})";
            break;
        case 3:  // the type as a key and elsewhere as a text: a member of that name only when
                 // the type is "event_type" itself
            event = "{" + value + R"(:"event_type","other":)" + value + "}";
            expect(event, type == "event_type" ? "event_type" : "");
            return 0;
        default:  // the member alone, after a big number and a deep value
            event = R"({"n":123456789012345678901234567890,"d":[[[[[[1]]]]]],"event_type":)" +
                    value + sp + "}" + sp;
            break;
    }
    expect(event, type);
    return 0;
}
