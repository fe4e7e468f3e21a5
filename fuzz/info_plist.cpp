// Fuzzes the Info.plist reader, XML and binary: any bytes give the bundle's two keys or a
// failure, never a crash, a deep recursion or an unbounded allocation.
#include "platform/linux/BundleInfo.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto info = drovix::parseBundleInfo(bytes);
    if (!info && info.error().empty()) {
        std::fprintf(stderr, "a failure without a description\n");
        std::abort();
    }
    return 0;
}
