// The fast reading of an event's members must give jsoncpp's answer on any bytes, for both
// members the jobs read: the fan-out's event_type and the retention job's timestamp.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "jobs/jsonfield.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view doc(reinterpret_cast<const char*>(data), size);
    for (const char* name : {"event_type", "timestamp"}) {
        const JsonField fast = member_as_string(doc, name);
        const JsonField slow = member_as_string_jsoncpp(doc, name);
        if (fast.status != slow.status || fast.text != slow.text) {
            std::abort();
        }
    }
    return 0;
}
