#pragma once

#include "ComError.h"

#include <optional>
#include <string>
#include <utility>

namespace SerialTests {

// The code and message of the port's error that a call raises, or none.
template <typename Call>
std::optional<std::pair<int, std::string>> raised(Call call) {
    try {
        call();
    } catch (const NorvEngineering::Serial::EComError& error) {
        return std::make_pair(error.Code(), error.Message());
    }
    return std::nullopt;
}

} // namespace SerialTests
