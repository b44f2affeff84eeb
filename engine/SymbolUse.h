#pragma once
#include <cstdint>

namespace lumaro {

// Counts per symbol value of each table (class DC/AC, id 0/1), as the
// encoder will emit them.
struct TSymbolUse {
    std::uint32_t Freq[2][2][256];
};

} // namespace lumaro
