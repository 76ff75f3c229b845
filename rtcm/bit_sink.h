// Where the demodulator's bit decisions go: one call per decided bit, in time order.
#pragma once

#include <cstdint>

namespace sondeco {

class BitSink {
public:
    virtual ~BitSink() = default;
    virtual void pushBit(std::uint8_t bit) = 0;  // 0 or 1
};

}  // namespace sondeco
