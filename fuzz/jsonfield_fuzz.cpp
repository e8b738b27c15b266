// libFuzzer target: the fast reading of an event's type must give jsoncpp's answer on any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "jobs/jsonfield.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view doc(reinterpret_cast<const char*>(data), size);
    const JsonField fast = member_as_string(doc, "event_type");
    const JsonField slow = member_as_string_jsoncpp(doc, "event_type");
    if (fast.status != slow.status ||
        (fast.status == FieldStatus::kText && fast.text != slow.text)) {
        std::fprintf(stderr, "disagreement: status %d vs %d\n", static_cast<int>(fast.status),
                     static_cast<int>(slow.status));
        std::abort();
    }
    return 0;
}
