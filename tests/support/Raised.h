#pragma once

#include <exception>
#include <string>

namespace TestSupport {

// The text of the exception of type E that a call raises, or "no exception".
template <class E = std::exception, class Call>
std::string whatRaised(const Call& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    }
    return "no exception";
}

} // namespace TestSupport
